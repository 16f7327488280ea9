#include "base/Exceptions.h"

#include <cstdio>
#include <string>
#include "base/Messages.h"

namespace storage {

namespace {

const char* TextOfCode(int32_t code) {
  switch (code) {
    case kErrorDeleted: return messages::base::kErrorDeleted;
    case kErrorNotFound: return messages::base::kErrorNotFound;
    case kErrorBadValue: return messages::base::kErrorBadValue;
    case kErrorTypeMismatch: return messages::base::kErrorTypeMismatch;
    case kErrorMissingName: return messages::base::kErrorMissingName;
    case kErrorFailed: return messages::base::kErrorFailed;
    case kErrorBufferTooSmall: return messages::base::kErrorBufferTooSmall;
    case kErrorNoValue: return messages::base::kErrorNoValue;
    case kErrorBadType: return messages::base::kErrorBadType;
    case kErrorDamagedStructure: return messages::base::kErrorDamagedStructure;
    case kErrorOutOfSharedMemory: return messages::base::kErrorOutOfSharedMemory;
    default: return nullptr;
  }
}

// Unknown codes: "unknown storage error <n>", one text per code kept for the
// life of the process so that the returned pointer stays valid.
const char* GenericText(int32_t code) {
  thread_local char buffer[48];
  std::snprintf(buffer, sizeof buffer, messages::base::kUnknownStorageError, static_cast<int>(code));
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
    : TechnicalException(messages::base::kCheckStorageFailed) {}
ChecksumException::ChecksumException() : TechnicalException(messages::base::kChecksumMismatch) {}
LoadHiveException::LoadHiveException() : TechnicalException(messages::base::kLoadHiveFailed) {}
LoadStorageFailedException::LoadStorageFailedException()
    : TechnicalException(messages::base::kLoadStorageFailed) {}
StorageAccessDeniedException::StorageAccessDeniedException()
    : TechnicalException(messages::base::kStorageAccessDenied) {}
BadAllocException::BadAllocException(const std::string& message) : TechnicalException(message) {}
ExternalException::ExternalException(int code)
    : TechnicalException(messages::base::PlatformError(code)), code_(code) {}
int ExternalException::GetCode() const { return code_; }

namespace {
std::string Located(const char* file, const char* function, int line, const char* message) {
  return messages::base::Located(file ? file : "?", function ? function : "?", line, message);
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
  return messages::base::kAssertionFailed + Located(file_.c_str(), function_.c_str(), line_,
                                        has_message_ ? message_.c_str() : nullptr);
}

}  // namespace storage
