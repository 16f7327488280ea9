// The retry protocol of registry calls. A call that answers 234 (the item
// changed size under us) is run again, at most 12 times in all with a 1 ms
// sleep before each repeat, under the object's own recursive retry lock, so
// that one chain of retries runs at a time on an object.
#ifndef SETTINGSTORE_REGISTRY_REGBLOCKEDPLUG_H
#define SETTINGSTORE_REGISTRY_REGBLOCKEDPLUG_H

#include <cstdint>

#include "base/Exceptions.h"
#include "platform/Registry.h"
#include "shm/OwnerLock.h"

namespace storage {

class RegBlockedPlug {
 protected:
  RegBlockedPlug() = default;
  ~RegBlockedPlug() = default;
  RegBlockedPlug(const RegBlockedPlug&) = delete;
  RegBlockedPlug& operator=(const RegBlockedPlug&) = delete;

  // The framework code for a failed registry result: -2 for a missing key or
  // value, -6 for anything else.
  static int32_t ErrorCodeOf(platform::LSTATUS result);

  // For a failed result: throws Failure with its code, unless the result is
  // 234 and the chain may go on; then runs `retry` (the whole operation
  // again) under the protocol and passes on its result or its exception.
  template <class Failure, class Retry>
  auto RetryOrThrow(platform::LSTATUS result, Retry&& retry) -> decltype(retry());

 private:
  // Repeats that a chain may run: with the first attempt, 12 in all.
  static constexpr uint32_t kMaxRetries = 11;

  // Takes the retry lock; true when one more attempt may run (counted, after
  // the sleep). False when the chain gives up: the lock level is released.
  bool Block();
  // Ends one repeat, however it ended: uncounts it and releases its lock level.
  void Unblock();

  class Unblocker {
   public:
    explicit Unblocker(RegBlockedPlug& plug) : plug_(plug) {}
    ~Unblocker() { plug_.Unblock(); }
    Unblocker(const Unblocker&) = delete;
    Unblocker& operator=(const Unblocker&) = delete;

   private:
    RegBlockedPlug& plug_;
  };

  owner::OwnerLock retryLock_;
  uint32_t retryCounter_ = 0;  // changed only under retryLock_
};

template <class Failure, class Retry>
auto RegBlockedPlug::RetryOrThrow(platform::LSTATUS result, Retry&& retry) -> decltype(retry()) {
  if (result != platform::kRegMoreData) throw Failure(ErrorCodeOf(result));
  if (!Block()) throw Failure(kErrorFailed);
  Unblocker unblocker(*this);
  return retry();
}

}  // namespace storage

#endif  // SETTINGSTORE_REGISTRY_REGBLOCKEDPLUG_H
