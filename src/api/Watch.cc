// Watches are made by the section's backend; the public call only finds it.
#include "base/SectionWatch.h"
#include "storage/watch.h"

namespace storage {

ISectionWatch* WatchSection(IStorageSection* section, bool subtree) {
  auto* watchable = dynamic_cast<WatchableSection*>(section);
  return watchable != nullptr ? watchable->Watch(subtree) : nullptr;
}

}  // namespace storage
