// Internal helpers around the public exception classes.
#ifndef SETTINGSTORE_FRAMEWORK_EXCEPTIONS_H
#define SETTINGSTORE_FRAMEWORK_EXCEPTIONS_H

#include "storage/storage.h"

namespace storage {

// Error codes carried by the Exception family.
enum ErrorCode : int32_t {
  kErrorDeleted = -1,
  kErrorNotFound = -2,
  kErrorBadValue = -3,
  kErrorTypeMismatch = -4,
  kErrorMissingName = -5,
  kErrorFailed = -6,
  kErrorBufferTooSmall = -7,
  kErrorNoValue = -10,
  kErrorBadType = -11,
  kErrorDamagedStructure = -13,
  kErrorOutOfSharedMemory = -14,
};

}  // namespace storage

// Raises AssertException when cond is false. file is the source's short name
// ("Utils\\OwnerUtil"); function the qualified name; message may be null.
#define STORAGE_ASSERT(cond, file, function, message)                  \
  do {                                                                 \
    if (!(cond)) throw ::storage::AssertException((file), (function), __LINE__, (message)); \
  } while (0)

#endif  // SETTINGSTORE_FRAMEWORK_EXCEPTIONS_H
