// Internal helpers around the public exception classes.
#ifndef SETTINGSTORE_BASE_EXCEPTIONS_H
#define SETTINGSTORE_BASE_EXCEPTIONS_H

#include <cstdint>
#include <exception>
#include <string>

#include "base/Messages.h"
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

// What an escaped exception tells its catcher: the root it comes from, its
// code (kErrorFailed for every root but Exception) and its text.
struct Failure {
  enum class Root { kStorage, kTechnical, kAssert, kStandard, kUnknown };

  Root root;
  int32_t code;
  std::string message;

  // The root's class name, as reports and logs print it.
  const char* RootClassName() const {
    switch (root) {
      case Root::kStorage: return messages::base::kRootStorage;
      case Root::kTechnical: return messages::base::kRootTechnical;
      case Root::kAssert: return messages::base::kRootAssert;
      case Root::kStandard: return messages::base::kRootStandard;
      case Root::kUnknown: break;
    }
    return messages::base::kRootUnknown;
  }
};

// Sorts the exception being handled; only inside a catch block. Header-only,
// so that tools on the public API alone share it.
inline Failure CurrentFailure() {
  try {
    throw;
  } catch (const Exception& e) {
    const char* text = e.GetErrorString();
    return {Failure::Root::kStorage, e.GetErrorCode(), text ? text : ""};
  } catch (const TechnicalException& e) {
    return {Failure::Root::kTechnical, kErrorFailed, e.what()};
  } catch (const AssertException& e) {
    return {Failure::Root::kAssert, kErrorFailed, e.What()};
  } catch (const std::exception& e) {
    return {Failure::Root::kStandard, kErrorFailed, e.what()};
  } catch (...) {
    return {Failure::Root::kUnknown, kErrorFailed, messages::base::kUnknownFailure};
  }
}

}  // namespace storage

// Raises AssertException when cond is false. file is the source's short name
// ("Utils\\OwnerUtil"); function the qualified name; message may be null.
#define STORAGE_ASSERT(cond, file, function, message)                  \
  do {                                                                 \
    if (!(cond)) throw ::storage::AssertException((file), (function), __LINE__, (message)); \
  } while (0)

#endif  // SETTINGSTORE_BASE_EXCEPTIONS_H
