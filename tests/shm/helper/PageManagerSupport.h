// What the page manager tests and their helper processes share: starting a
// page manager, stamping blocks so that a block handed to two owners shows,
// and the allocate/stamp/verify/release churn that threads of several
// processes run over one page manager.
#ifndef SETTINGSTORE_TESTS_SHARED_HELPER_PAGEMANAGERSUPPORT_H
#define SETTINGSTORE_TESTS_SHARED_HELPER_PAGEMANAGERSUPPORT_H

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "shm/MemoryConfigurator.h"
#include "shm/PageManager.h"
#include "shm/SegmentTestSupport.h"
#include "shm/helper/PageMemoryChurn.h"

namespace settingstore::test {

enum PageManagerHelperExit : int {
  kPmDone = 0,
  kPmFault = 1,  // a block was dirty, shared or not stamped as told
  kPmThrew = 2,
  kPmBadArguments = 3,
  kPmNoGoSign = 4,
};

// The blocks that pm-write leaves behind.
inline constexpr uint32_t kPersistedBlockSize = 24;

// Starts a page manager over the segments `name`... and, unless path is
// empty, the hive files `path`...
inline void StartPageManager(storage::PageManager& manager, const std::string& name,
                             const std::string& path) {
  storage::BasicMemoryConfigurator configurator(name.c_str(), path.c_str());
  manager.Initialize(&configurator);
}

inline void Stamp(void* block, uint32_t size, uint32_t stamp) {
  auto* bytes = static_cast<uint8_t*>(block);
  for (uint32_t i = 0; i < size; ++i) bytes[i] = StampByte(stamp, i);
}

inline bool HasStamp(const void* block, uint32_t size, uint32_t stamp) {
  const auto* bytes = static_cast<const uint8_t*>(block);
  for (uint32_t i = 0; i < size; ++i) {
    if (bytes[i] != StampByte(stamp, i)) return false;
  }
  return true;
}

inline bool Filled(const void* block, uint32_t size, uint8_t value) {
  const auto* bytes = static_cast<const uint8_t*>(block);
  for (uint32_t i = 0; i < size; ++i) {
    if (bytes[i] != value) return false;
  }
  return true;
}

// Faults that ChurnPageManager found.
struct PageChurnResult {
  uint32_t dirtyBlocks = 0;    // a new block that did not read all 0xCC
  uint32_t damagedStamps = 0;  // a stamp that changed while its owner held the block
  uint32_t allocations = 0;
};

// Allocates blocks of 1 to 48 bytes and, one time in eight, a large one of
// 150000 to 300000 bytes, so that the chain grows; keeps up to twelve, stamps
// each with a value no other owner uses and checks the stamp before
// releasing it. A block handed to two owners shows as a damaged stamp; large
// blocks are stamped over their first kChurnStampLimit bytes only, which is
// where a second owner of the same block would write too. owner: 1 to 255.
inline constexpr uint32_t kChurnStampLimit = 4096;

inline PageChurnResult ChurnPageManager(storage::PageManager& manager, uint32_t rounds, uint32_t owner) {
  struct Held {
    storage::InitMemAddress address;
    uint32_t stamped;
    uint32_t stamp;
  };
  constexpr uint32_t kMaxHeld = 12;
  Held held[kMaxHeld];
  uint32_t count = 0;
  PageChurnResult result;
  std::minstd_rand random(owner);
  uint32_t sequence = 0;

  auto release = [&](uint32_t index) {
    const Held block = held[index];
    if (!HasStamp(manager.GetPoint(block.address), block.stamped, block.stamp)) ++result.damagedStamps;
    manager.Release(block.address);
    held[index] = held[--count];
  };

  for (uint32_t round = 0; round < rounds; ++round) {
    if (count == kMaxHeld || (count > 0 && random() % 2 == 0)) {
      release(random() % count);
      continue;
    }
    const uint32_t size = random() % 8 == 0 ? 150000 + 50000 * (random() % 4) : 1 + random() % 48;
    const uint32_t stamped = std::min(size, kChurnStampLimit);
    const storage::InitMemAddress address = manager.Allocate(size);
    ++result.allocations;
    void* block = manager.GetPoint(address);
    if (!Filled(block, stamped, 0xCC)) ++result.dirtyBlocks;
    const uint32_t stamp = owner << 24 | (++sequence & 0xFFFFFF);
    Stamp(block, stamped, stamp);
    held[count++] = Held{address, stamped, stamp};
  }
  while (count > 0) release(count - 1);
  return result;
}

inline void WriteTextFile(const std::filesystem::path& path, const std::string& text) {
  // Written aside and renamed, so that a reader never sees half of it.
  const std::filesystem::path aside = path.string() + ".part";
  std::ofstream(aside) << text;
  std::filesystem::rename(aside, path);
}

inline std::string ReadTextFile(const std::filesystem::path& path) {
  std::ifstream file(path);
  std::string text;
  std::getline(file, text);
  return text;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHARED_HELPER_PAGEMANAGERSUPPORT_H
