#include "shareddom/AccessTraits.h"

#include "platform/Platform.h"

namespace storage {

bool AccessTraits::AddReference() {
  uint32_t count = ReferencesWord().load();
  for (;;) {
    if (count == kNoReferences) return false;
    if (ReferencesWord().compare_exchange_strong(count, count + 1)) return true;
    platform::YieldThread();
  }
}

bool AccessTraits::DropReference(bool& last) {
  uint32_t count = ReferencesWord().load();
  for (;;) {
    if (count == kNoReferences) return false;
    if (ReferencesWord().compare_exchange_strong(count, count - 1)) {
      last = count == kNoReferences + 1;
      return true;
    }
    platform::YieldThread();
  }
}

}  // namespace storage
