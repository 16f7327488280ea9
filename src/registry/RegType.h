// What the type translation answers for a framework type without a registry type.
#ifndef SETTINGSTORE_REGISTRY_REGTYPE_H
#define SETTINGSTORE_REGISTRY_REGTYPE_H

#include "storage/storage.h"

namespace storage {

inline constexpr unsigned long kNoRegistryType = 0xFFFFFFFFul;

}  // namespace storage

#endif  // SETTINGSTORE_REGISTRY_REGTYPE_H
