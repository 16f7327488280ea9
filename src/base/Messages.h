// The texts this layer shows in exceptions, assertions and the log. Hosts
// and tests match them byte for byte: change none without need.
#ifndef SETTINGSTORE_BASE_MESSAGES_H
#define SETTINGSTORE_BASE_MESSAGES_H

#include <string>

namespace storage::messages::base {

inline constexpr char kRootStorage[] = "Exception";
inline constexpr char kRootTechnical[] = "TechnicalException";
inline constexpr char kRootAssert[] = "AssertException";
inline constexpr char kRootStandard[] = "std::exception";
inline constexpr char kRootUnknown[] = "unknown exception";
inline constexpr char kUnknownFailure[] = "unknown failure";
inline constexpr char kHashHelperFile[] = "hash/HashHelper";
inline constexpr char kHashHelperConstructor[] = "storage::hash::HashHelper<0>::HashHelper";
inline constexpr char kHashHelperGetResult[] = "storage::hash::HashHelper<0>::getResult";
inline constexpr char kNamesEnumeratorNullName[] = "NamesEnumerator::add: null name";
inline constexpr char kOutOfVectorRange[] = "Out of vector range";
inline constexpr char kErrorDeleted[] = "the section has been deleted";
inline constexpr char kErrorNotFound[] = "the item does not exist";
inline constexpr char kErrorBadValue[] = "the value cannot be read or stored";
inline constexpr char kErrorTypeMismatch[] = "the value has another type";
inline constexpr char kErrorMissingName[] = "a required name is missing or empty";
inline constexpr char kErrorFailed[] = "the operation failed";
inline constexpr char kErrorBufferTooSmall[] = "the buffer is too small";
inline constexpr char kErrorNoValue[] = "the key has no value yet";
inline constexpr char kErrorBadType[] = "the value type is not valid";
inline constexpr char kErrorDamagedStructure[] = "a shared structure is damaged";
inline constexpr char kErrorOutOfSharedMemory[] = "shared memory is exhausted";
inline constexpr char kUnknownStorageError[] = "unknown storage error %d";
inline constexpr char kCheckStorageFailed[] = "the storage check function rejected the loaded content";
inline constexpr char kChecksumMismatch[] = "checksum mismatch in a storage file";
inline constexpr char kLoadHiveFailed[] = "a hive file could not be loaded";
inline constexpr char kLoadStorageFailed[] = "the storage could not be loaded";
inline constexpr char kStorageAccessDenied[] = "access to the storage was denied";
inline constexpr char kAssertionFailed[] = "Assertion failed: ";


// A log line on stderr, and the names of the levels it prints.
inline constexpr char kLogLine[] = "settingstore %s: %s\n";
inline constexpr const char* kLevelNames[] = {"error", "info", "debug"};

inline std::string PlatformError(int code) { return "platform error " + std::to_string(code); }

// Where a failure was found: "<file>:<line> in <function>[: <message>]".
inline std::string Located(const char* file, const char* function, int line, const char* message) {
  std::string text = std::string(file) + ":" + std::to_string(line) + " in " + function;
  if (message) text += std::string(": ") + message;
  return text;
}

}  // namespace storage::messages::base

#endif  // SETTINGSTORE_BASE_MESSAGES_H
