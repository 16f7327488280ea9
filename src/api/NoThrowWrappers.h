// No-throw wrappers: sections and keys whose operations turn every exception
// into a null or false result and record the error in the factory's record.
#ifndef SETTINGSTORE_API_NOTHROWWRAPPERS_H
#define SETTINGSTORE_API_NOTHROWWRAPPERS_H

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "storage/storage.h"

namespace storage {

// The last error seen through a factory or the no-throw objects made from it.
// Shared, so that no-throw objects may outlive their factory.
class NoThrowErrorRecord {
 public:
  void Set(int32_t code, const char* message);
  void SetCode(int32_t code);
  void SetMessage(const char* message);
  int32_t Code() const;
  // A copy for the calling thread, valid until its next call.
  const char* Message() const;

  // Runs `operation`; on an exception records it and returns `failed`.
  template <class Result, class Operation>
  Result Guard(Result failed, Operation&& operation) noexcept;

 private:
  void RecordCurrentException() noexcept;

  mutable std::mutex mutex_;
  int32_t code_ = 0;
  std::string message_;
};

// Wraps a section (adopting the reference it is given).
IStorageSection* MakeNoThrowSection(IStorageSection* adopted, std::shared_ptr<NoThrowErrorRecord> record);

template <class Result, class Operation>
Result NoThrowErrorRecord::Guard(Result failed, Operation&& operation) noexcept {
  try {
    return operation();
  } catch (...) {
    RecordCurrentException();
    return failed;
  }
}

}  // namespace storage

#endif  // SETTINGSTORE_API_NOTHROWWRAPPERS_H
