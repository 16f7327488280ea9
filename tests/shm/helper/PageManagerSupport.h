// What the shared-memory tests and their helper processes share: starting a
// page manager, stamping blocks so that a block handed to two owners shows,
// and the allocate/stamp/check/release churn that threads of several
// processes run over one hive or one page manager.
#ifndef SETTINGSTORE_TESTS_SHM_HELPER_PAGEMANAGERSUPPORT_H
#define SETTINGSTORE_TESTS_SHM_HELPER_PAGEMANAGERSUPPORT_H

#include <algorithm>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "shm/MemoryConfigurator.h"
#include "shm/PageManager.h"
#include "shm/SegmentTestSupport.h"

namespace settingstore::test {

// Starts a page manager over the segments `name`... and, unless path is
// empty, the hive files `path`...
inline void StartPageManager(storage::PageManager& manager, const std::string& name, const std::string& path) {
  storage::BasicMemoryConfigurator configurator(name.c_str(), path.c_str());
  manager.Initialize(&configurator);
}

// The blocks in use, as (offset or address, size) in walk order; a limit
// stops the walk after that many, and completed tells whether it ran to the end.
using Blocks = std::vector<std::pair<uint32_t, int32_t>>;
template <class Manager>
Blocks Walk(Manager& manager, bool reverse, size_t limit = 0, bool* completed = nullptr) {
  struct Collector : std::conditional_t<std::is_same_v<Manager, storage::PageManager>, storage::MemoryBlockVisitor,
                                        storage::PageMemoryManager::MemoryBlockVisitor> {
    bool MemoryBlock(const storage::InitMemAddress& at, int32_t size) { return MemoryBlock(at.Value(), size); }
    bool MemoryBlock(const uint32_t& offset, int32_t size) {
      blocks.emplace_back(offset, size);
      return limit == 0 || blocks.size() < limit;
    }
    Blocks blocks;
    size_t limit = 0;
  } collector;
  collector.limit = limit;
  const bool done = manager.Enumerate(collector, reverse);
  if (completed != nullptr) *completed = done;
  return collector.blocks;
}

// Byte i of a block stamped with stamp: the stamp's bytes in turn, plus i / 4.
inline uint8_t StampByte(uint32_t stamp, uint32_t i) { return static_cast<uint8_t>((stamp >> (8 * (i % 4))) + i / 4); }

inline void Stamp(void* block, uint32_t size, uint32_t stamp) {
  for (uint32_t i = 0; i < size; ++i) static_cast<uint8_t*>(block)[i] = StampByte(stamp, i);
}

inline bool HasStamp(const void* block, uint32_t size, uint32_t stamp) {
  uint32_t i = 0;
  while (i < size && static_cast<const uint8_t*>(block)[i] == StampByte(stamp, i)) ++i;
  return i == size;
}

// One allocator as the churn sees it; 0xCCCCCCCC is "no block" for both kinds.
struct ChurnTarget {
  std::function<uint32_t(uint32_t)> allocate;
  std::function<void*(uint32_t)> point;
  std::function<void(uint32_t)> release;
  uint32_t largeSize = 0;  // when set, one block in eight is this large or up to twice that
};

inline ChurnTarget TargetOf(storage::PageMemoryManager& manager) {
  return {[&](uint32_t size) { return manager.Allocate(size); },
          [&](uint32_t offset) { return manager.GetPoint(offset); },
          [&](uint32_t offset) { manager.Release(offset); }};
}

inline ChurnTarget TargetOf(storage::PageManager& manager) {
  return {[&](uint32_t size) { return manager.Allocate(size).Value(); },
          [&](uint32_t address) { return manager.GetPoint(storage::InitMemAddress(address)); },
          [&](uint32_t address) { manager.Release(storage::InitMemAddress(address)); }, 150000};
}

// Allocates, keeps up to twelve blocks, stamps each with a value no other
// owner uses (owner: 1 to 255) and checks the stamp before releasing it.
// Gives the faults seen: a new block that did not read all 0xCC, or a stamp
// that changed while its owner held the block. Large blocks are stamped over
// their first 4096 bytes, where a second owner of the block would write too.
inline uint32_t Churn(const ChurnTarget& target, uint32_t rounds, uint32_t owner) {
  struct Held {
    uint32_t address, stamped, stamp;
  };
  Held held[12];
  uint32_t count = 0, faults = 0, sequence = 0;
  std::minstd_rand random(owner);
  const auto release = [&](uint32_t index) {
    if (!HasStamp(target.point(held[index].address), held[index].stamped, held[index].stamp)) ++faults;
    target.release(held[index].address);
    held[index] = held[--count];
  };
  for (uint32_t round = 0; round < rounds; ++round) {
    if (count == 12 || (count > 0 && random() % 2 == 0)) {
      release(random() % count);
      continue;
    }
    const bool large = target.largeSize != 0 && random() % 8 == 0;
    const uint32_t size = large ? target.largeSize + target.largeSize / 3 * (random() % 4) : 1 + random() % 48;
    const uint32_t address = target.allocate(size);
    if (address == 0xCCCCCCCC) {
      if (count > 0) release(0);
      continue;
    }
    const uint32_t stamped = std::min(size, 4096u);
    void* block = target.point(address);
    if (!std::all_of(static_cast<uint8_t*>(block), static_cast<uint8_t*>(block) + stamped,
                     [](uint8_t byte) { return byte == 0xCC; })) {
      ++faults;
    }
    held[count] = Held{address, stamped, owner << 24 | (++sequence & 0xFFFFFF)};
    Stamp(block, stamped, held[count++].stamp);
  }
  while (count > 0) release(count - 1);
  return faults;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHM_HELPER_PAGEMANAGERSUPPORT_H
