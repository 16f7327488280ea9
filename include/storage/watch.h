// Watching a section: a host learns that the settings under a section
// changed, whichever process or storage object changed them.
//
//   storage::Ref<storage::ISectionWatch> watch(storage::WatchSection(section, true));
//   while (watch->Wait(1000) != storage::WATCH_SECTION_DELETED) { /* read again */ }
#ifndef SETTINGSTORE_WATCH_H
#define SETTINGSTORE_WATCH_H

#include <cstdint>

#include "storage/storage.h"

namespace storage {

enum WatchResult : int32_t {
  WATCH_TIMEOUT = 0,          // nothing under the watch changed in the time
  WATCH_CHANGED = 1,          // something did since the watch was made or last returned
  WATCH_SECTION_DELETED = 2,  // the section is gone; every later wait says so at once
};

#if defined(_WIN32)
using WatchHandle = void*;  // a waitable HANDLE
#else
using WatchHandle = int;  // a file descriptor
#endif

// Changes between two waits are coalesced into one answer, and none is lost:
// a change made while the host is busy makes the next wait return at once.
// A key written with the value it already held may count as no change. For
// the XML backend, another process replacing the settings file counts as a
// change of every watched section, though this process still reads the
// document it loaded. Not for use by two threads at once.
struct STORAGE_API ISectionWatch : virtual IAddRef {
  // Waits up to `milliseconds` (0 only looks).
  virtual WatchResult Wait(unsigned milliseconds) = 0;
  // For an event loop: becomes readable (signalled) when a Wait(0) may have
  // something to report, and stays so until the next Wait. Owned by the watch.
  virtual WatchHandle GetHandle() = 0;
};

// A watch on `section` alone (its keys and its direct sub-sections) or, with
// `subtree`, on everything below it; one reference for the caller. Null for
// a section that cannot be watched: one that GetXmlStorage made, which
// belongs to no storage file.
STORAGE_API ISectionWatch* WatchSection(IStorageSection* section, bool subtree);

}  // namespace storage

#endif  // SETTINGSTORE_WATCH_H
