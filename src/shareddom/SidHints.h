// Where the heads of the newest strings lie, by SID, for all processes of a
// session: a table in shared memory of its own, never saved, that the process
// making a string fills, so that another process meeting the new SID can find
// its head without walking the string table's hives. Entries are only hints:
// the string table checks the block an entry names before it takes it, so an
// entry that no longer holds (overwritten, freed, torn by a killed process)
// costs the walk, never a wrong string.
//
// Table block, 512 KiB: 65,536 slots of two words, {SID, head address}; the
// slot of a SID is its low 16 bits. Slots are written under the string
// table's root lock, SID word last.
#ifndef SETTINGSTORE_SHAREDDOM_SIDHINTS_H
#define SETTINGSTORE_SHAREDDOM_SIDHINTS_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "shm/InitMemAddress.h"
#include "shm/PageManager.h"

namespace storage {

class SidHints {
 public:
  static constexpr uint32_t kSlots = 1u << 16;
  static constexpr uint32_t kTableSize = kSlots * 8;

  // Opens or creates the table in the segments named after `name`.
  explicit SidHints(const std::string& name);
  SidHints(const SidHints&) = delete;
  SidHints& operator=(const SidHints&) = delete;

  // The configurator's call once the region is loaded: finds or makes the table.
  void OnMemManagerInitialized();

  // Under the string table's root lock.
  void Record(int32_t sid, const InitMemAddress& head);
  // The head last recorded for the SID, or the null address.
  InitMemAddress Find(int32_t sid);

 private:
  std::atomic_ref<uint32_t> SidWord(int32_t sid) { return WordAt(sid, 0); }
  std::atomic_ref<uint32_t> WordOfHead(int32_t sid) { return WordAt(sid, 1); }
  std::atomic_ref<uint32_t> WordAt(int32_t sid, uint32_t index) {
    return std::atomic_ref<uint32_t>(table_[(static_cast<uint32_t>(sid) % kSlots) * 2 + index]);
  }

  std::unique_ptr<PageManager> pageManager_;
  uint32_t* table_ = nullptr;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_SIDHINTS_H
