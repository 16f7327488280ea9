#include "base/NamedSync.h"

#include "storage/storage.h"

namespace storage {

namespace {

template <class Handle>
std::unique_ptr<Handle> Required(std::unique_ptr<Handle> handle) {
  if (!handle) throw ExternalException(static_cast<int>(platform::GetLastError()));
  return handle;
}

}  // namespace

Mutex::Mutex(bool initiallyOwned, const char* name)
    : mutex_(Required(platform::NamedMutex::Create(name, initiallyOwned))) {}

void Mutex::Lock() {
  switch (mutex_->Wait(platform::kInfinite)) {
    case platform::WaitResult::kAcquired:
    case platform::WaitResult::kAbandoned:
      return;
    default:
      throw ExternalException(static_cast<int>(platform::GetLastError()));
  }
}

void Mutex::Unlock() { mutex_->Release(); }

bool Event::Wait(unsigned milliseconds) { return event_->Wait(milliseconds); }
void Event::Set() { event_->Set(); }

EventEx::EventEx(const char* name) : Event(Required(platform::NamedEvent::Create(name))) {
  created_ = platform::GetLastError() == platform::kErrorSuccess;
}

}  // namespace storage
