// The records of the access controller's traits region, read in place in
// shared memory. A fresh block reads 0xCCCCCCCC in every word, which is the
// empty state of every field: a free lock, a null address, no references.
#ifndef SETTINGSTORE_SHAREDDOM_ACCESSTRAITS_H
#define SETTINGSTORE_SHAREDDOM_ACCESSTRAITS_H

#include <atomic>
#include <cstdint>

#include "shm/InitMemAddress.h"
#include "shm/OwnerLock.h"

namespace storage {

// A reading thread's place in the reader table, kept for as long as the
// thread lives: its thread and process, and the traits record of the section
// it is reading, null between reads. 64 bytes, so that readers on different
// cores seldom write into one cache line.
struct ReaderSlot {
  uint32_t thread;
  uint32_t process;
  uint32_t section;
  uint32_t unused[13];

  std::atomic_ref<uint32_t> ThreadWord() { return std::atomic_ref<uint32_t>(thread); }
  std::atomic_ref<uint32_t> ProcessWord() { return std::atomic_ref<uint32_t>(process); }
  std::atomic_ref<uint32_t> SectionWord() { return std::atomic_ref<uint32_t>(section); }
};
static_assert(sizeof(ReaderSlot) == 64);

// One per traits region: the lock that serialises the list, its head, the
// reader table with the number of its slots ever handed out, and the count of
// the tree's changes.
struct AccessRoot {
  static constexpr uint32_t kReaderSlots = 128;

  owner::OwnerLock listLock;
  uint32_t head;
  uint32_t slotsUsed;
  ReaderSlot readers[kReaderSlots];
  // The change count that watches sleep on, on a cache line of its own so
  // that writes do not disturb readers' slots.
  uint32_t changes;
  uint32_t unused[15];

  std::atomic_ref<uint32_t> WordOfHead() { return std::atomic_ref<uint32_t>(head); }
  std::atomic_ref<uint32_t> SlotsUsedWord() { return std::atomic_ref<uint32_t>(slotsUsed); }
};
static_assert(sizeof(AccessRoot) == 16 + 64 * AccessRoot::kReaderSlots + 64);

// One per node that has ever been asked for. Records are only appended to
// the list and keep their key for the life of the region.
struct AccessTraits {
  // References are counted from the null word: kNoReferences means none.
  static constexpr uint32_t kNoReferences = InitMemAddress::kNull;

  uint32_t next;
  uint32_t key;
  uint32_t references;
  owner::OwnerLock nodeLock;
  // Moves, under the node lock, before every link or unlink in the node's
  // child list, so that a process can tell whether a child it found there
  // is still in the list. Records are never re-keyed, so it never goes back.
  uint32_t changes;

  std::atomic_ref<uint32_t> NextWord() { return std::atomic_ref<uint32_t>(next); }
  std::atomic_ref<uint32_t> KeyWord() { return std::atomic_ref<uint32_t>(key); }
  std::atomic_ref<uint32_t> ReferencesWord() { return std::atomic_ref<uint32_t>(references); }
  std::atomic_ref<uint32_t> ChangesWord() { return std::atomic_ref<uint32_t>(changes); }

  // One more reference; false (and no change) when the record has none, so
  // that only the access controller revives an idle record.
  bool AddReference();
  // One reference less; false when there was none. `last` tells whether this
  // was the last one.
  bool DropReference(bool& last);
};
static_assert(sizeof(AccessTraits) == 24);

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_ACCESSTRAITS_H
