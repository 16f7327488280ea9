// Named manual-reset events: a flag word in a named object, waited on with a
// shared futex. (A process-shared condition variable would hang for good once
// a waiter is killed inside its wait.)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "platform/Platform.h"
#include "platform/posix/SharedObject.h"

namespace storage::platform {

namespace {

using posix::ObjectKind;
using posix::SharedObject;

class PosixNamedEvent final : public NamedEvent {
 public:
  ~PosixNamedEvent() override {
    if (object_ != nullptr) object_->ReleaseHandle();
  }

  // A new object's page is zero-filled: the event starts not set.
  bool Attach(const char* name) {
    object_ = SharedObject::Acquire(name, ObjectKind::kEvent, 0, true, [](SharedObject&) { return true; });
    return object_ != nullptr;
  }

  bool Wait(uint32_t milliseconds) override {
    if (IsSet() || milliseconds == 0) return IsSet();
    // FUTEX_WAIT_BITSET takes an absolute CLOCK_MONOTONIC deadline, so wake-ups
    // that find the flag still clear do not stretch the wait.
    timespec deadline;
    timespec* until = nullptr;
    if (milliseconds != kInfinite) {
      clock_gettime(CLOCK_MONOTONIC, &deadline);
      deadline.tv_sec += milliseconds / 1000;
      deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
      if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
      }
      until = &deadline;
    }
    while (!IsSet()) {
      if (syscall(SYS_futex, Word(), FUTEX_WAIT_BITSET, 0, until, nullptr, FUTEX_BITSET_MATCH_ANY) != 0 &&
          errno == ETIMEDOUT) {
        return IsSet();
      }
    }
    return true;
  }

  void Set() override {
    std::atomic_ref<uint32_t>(*Word()).store(1, std::memory_order_release);
    syscall(SYS_futex, Word(), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
  }

 private:
  uint32_t* Word() const { return static_cast<uint32_t*>(object_->State()); }
  bool IsSet() const { return std::atomic_ref<uint32_t>(*Word()).load(std::memory_order_acquire) != 0; }

  SharedObject* object_ = nullptr;
};

}  // namespace

std::unique_ptr<NamedEvent> NamedEvent::Create(const char* name) {
  auto event = std::make_unique<PosixNamedEvent>();
  if (!event->Attach(name)) return nullptr;
  return event;
}

}  // namespace storage::platform
