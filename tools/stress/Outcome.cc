#include "Outcome.h"

#include <algorithm>
#include <iostream>
#include <mutex>

#include "base/Exceptions.h"
#include "storage/storage.h"

namespace stress {

namespace {

std::string ExceptionName(const storage::Exception& error) {
  if (dynamic_cast<const storage::NotEmptyException*>(&error)) return "NotEmptyException";
  if (dynamic_cast<const storage::MarkToDeleteException*>(&error)) return "MarkToDeleteException";
  if (dynamic_cast<const storage::OpenException*>(&error)) return "OpenException";
  if (dynamic_cast<const storage::CreateException*>(&error)) return "CreateException";
  if (dynamic_cast<const storage::DeleteException*>(&error)) return "DeleteException";
  if (dynamic_cast<const storage::IOException*>(&error)) return "IOException";
  return "Exception";
}

}  // namespace

void Outcome::Fail(const std::string& text) {
  static std::mutex output;
  failures_.fetch_add(1, std::memory_order_relaxed);
  board_.CountFailure(slot_, thread_);
  std::string line = "fail thread " + std::to_string(thread_) + ": " + text;
  std::replace(line.begin(), line.end(), '\n', ' ');
  std::lock_guard<std::mutex> lock(output);
  sink_(line);
}

void Outcome::Classify(std::exception_ptr error, OpKind kind, const std::string& place,
                       const std::string& key, std::initializer_list<int32_t> allowed) {
  const std::string where = std::string(OpName(kind)) + " " + place + (key.empty() ? "" : " key " + key);
  try {
    std::rethrow_exception(error);
  } catch (const storage::Exception& e) {
    int32_t code = e.GetErrorCode();
    const bool missingAllowed = std::find(allowed.begin(), allowed.end(), -2) != allowed.end();
    if (code == notFoundCode_ && missingAllowed && dynamic_cast<const storage::OpenException*>(&e)) code = -2;
    if (std::find(allowed.begin(), allowed.end(), code) != allowed.end()) {
      if (auto index = ExpectedCodeIndex(code)) board_.CountExpected(slot_, thread_, *index);
      return;
    }
    Fail(where + " threw " + ExceptionName(e) + " " + std::to_string(code));
  } catch (...) {
    const storage::Failure failure = storage::CurrentFailure();
    switch (failure.root) {
      case storage::Failure::Root::kTechnical:
        return Fail(where + " threw a technical exception: " + failure.message);
      case storage::Failure::Root::kAssert:
        return Fail(where + " failed an assertion: " + failure.message);
      case storage::Failure::Root::kStandard:
        return Fail(where + " threw " + failure.message);
      default:
        return Fail(where + " threw an unknown exception");
    }
  }
}

}  // namespace stress
