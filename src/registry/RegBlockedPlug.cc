#include "registry/RegBlockedPlug.h"

#include "base/ProcessValues.h"
#include "platform/Platform.h"

namespace storage {

int32_t RegBlockedPlug::ErrorCodeOf(platform::LSTATUS result) {
  return result == platform::kRegNotFound ? kErrorNotFound : kErrorFailed;
}

bool RegBlockedPlug::block() {
  retryLock_.lock(GetSpinCount());
  if (retryCounter_ >= kMaxRetries) {
    retryLock_.unlock();
    return false;
  }
  ++retryCounter_;
  platform::SleepMs(1);
  return true;
}

void RegBlockedPlug::unblock() {
  --retryCounter_;
  retryLock_.unlock();
}

}  // namespace storage
