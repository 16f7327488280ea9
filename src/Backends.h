// Each backend builds its controller and traits for InitializeStorage.
#ifndef SETTINGSTORE_BACKENDS_H
#define SETTINGSTORE_BACKENDS_H

#include "storage/storage.h"

namespace storage {

struct Backend {
  IStorageController* controller;  // one reference, handed to the factory
  ITraits* traits;
};

Backend MakeRegistryBackend(IStorageInitializer* init);
Backend MakeXmlBackend(IStorageInitializer* init);
Backend MakeSharedDomBackend(IStorageInitializer* init);
bool UnloadSharedDom();

}  // namespace storage

#endif  // SETTINGSTORE_BACKENDS_H
