#include "registry/RegBlockedPlug.h"

#include "base/ProcessValues.h"
#include "platform/Platform.h"

namespace storage {

int32_t RegBlockedPlug::ErrorCodeOf(platform::LSTATUS result) {
  return result == platform::kRegNotFound ? kErrorNotFound : kErrorFailed;
}

bool RegBlockedPlug::Block() {
  retryLock_.Lock(GetSpinCount());
  if (retryCounter_ >= kMaxRetries) {
    retryLock_.Unlock();
    return false;
  }
  ++retryCounter_;
  platform::SleepMs(1);
  return true;
}

void RegBlockedPlug::Unblock() {
  --retryCounter_;
  retryLock_.Unlock();
}

}  // namespace storage
