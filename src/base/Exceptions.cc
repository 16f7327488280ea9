#include "base/Exceptions.h"

#include <cstdio>
#include <string>

namespace storage {

namespace {

const char* TextOfCode(int32_t code) {
  switch (code) {
    case kErrorDeleted: return "the section has been deleted";
    case kErrorNotFound: return "the item does not exist";
    case kErrorBadValue: return "the value cannot be read or stored";
    case kErrorTypeMismatch: return "the value has another type";
    case kErrorMissingName: return "a required name is missing or empty";
    case kErrorFailed: return "the operation failed";
    case kErrorBufferTooSmall: return "the buffer is too small";
    case kErrorNoValue: return "the key has no value yet";
    case kErrorBadType: return "the value type is not valid";
    case kErrorDamagedStructure: return "a shared structure is damaged";
    case kErrorOutOfSharedMemory: return "shared memory is exhausted";
    default: return nullptr;
  }
}

// Unknown codes: "unknown storage error <n>", one text per code kept for the
// life of the process so that the returned pointer stays valid.
const char* GenericText(int32_t code) {
  thread_local char buffer[48];
  std::snprintf(buffer, sizeof buffer, "unknown storage error %d", static_cast<int>(code));
  return buffer;
}

}  // namespace

Exception::Exception(int32_t code) : code_(code) {}
Exception::~Exception() = default;
int32_t Exception::GetErrorCode() const { return code_; }
const char* Exception::GetErrorString() const {
  const char* text = TextOfCode(code_);
  return text ? text : GenericText(code_);
}

OpenException::OpenException(int32_t code) : Exception(code) {}
CreateException::CreateException(int32_t code) : Exception(code) {}
DeleteException::DeleteException(int32_t code) : Exception(code) {}
NotEmptyException::NotEmptyException(int32_t code) : DeleteException(code) {}
IOException::IOException(int32_t code) : Exception(code) {}
MarkToDeleteException::MarkToDeleteException(int32_t code) : IOException(code) {}

TechnicalException::TechnicalException(std::string message) : message_(std::move(message)) {}
TechnicalException::~TechnicalException() = default;
const char* TechnicalException::what() const { return message_.c_str(); }

CheckStorageException::CheckStorageException()
    : TechnicalException("the storage check function rejected the loaded content") {}
ChecksumException::ChecksumException() : TechnicalException("checksum mismatch in a storage file") {}
LoadHiveException::LoadHiveException() : TechnicalException("a hive file could not be loaded") {}
LoadStorageFailedException::LoadStorageFailedException()
    : TechnicalException("the storage could not be loaded") {}
StorageAccessDeniedException::StorageAccessDeniedException()
    : TechnicalException("access to the storage was denied") {}
BadAllocException::BadAllocException(const std::string& message) : TechnicalException(message) {}
ExternalException::ExternalException(int code)
    : TechnicalException("platform error " + std::to_string(code)), code_(code) {}
int ExternalException::GetCode() const { return code_; }

namespace {
std::string Located(const char* file, const char* function, int line, const char* message) {
  std::string text = std::string(file ? file : "?") + ":" + std::to_string(line) + " in " +
                     (function ? function : "?");
  if (message) text += std::string(": ") + message;
  return text;
}
}  // namespace

InternalStructureException::InternalStructureException(const char* file, const char* function, int line,
                                                       const char* message)
    : TechnicalException(Located(file, function, line, message)) {}

AssertException::AssertException(const char* file, const char* function, int line, const char* message)
    : file_(file ? file : ""),
      function_(function ? function : ""),
      line_(line),
      message_(message ? message : ""),
      has_message_(message != nullptr) {}
AssertException::~AssertException() = default;

std::string AssertException::What() const {
  return "Assertion failed: " + Located(file_.c_str(), function_.c_str(), line_,
                                        has_message_ ? message_.c_str() : nullptr);
}

}  // namespace storage
