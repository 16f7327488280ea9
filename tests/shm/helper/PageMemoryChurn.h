// What the page memory manager tests and their helper processes share: the
// allocate/stamp/verify/release churn that threads of several processes run
// over one hive.
#ifndef SETTINGSTORE_TESTS_SHARED_HELPER_PAGEMEMORYCHURN_H
#define SETTINGSTORE_TESTS_SHARED_HELPER_PAGEMEMORYCHURN_H

#include <cstdint>
#include <random>

#include "shm/PageMemoryManager.h"

namespace settingstore::test {

// The whole size of the hive segment of the multi-process test: too small for
// what eight threads hold at once, so blocks are reused all the time.
inline constexpr uint32_t kChurnSegmentSize = 64 + 2048;

// Faults that ChurnBlocks found.
struct ChurnResult {
  uint32_t dirtyBlocks = 0;    // a new block that did not read all 0xCC
  uint32_t damagedStamps = 0;  // a stamp that changed while its owner held the block
  uint32_t allocations = 0;
};

// Byte i of a block stamped with stamp: its bytes in turn, plus i / 4, so
// that every block of four or more bytes carries its owner's number.
inline uint8_t StampByte(uint32_t stamp, uint32_t i) {
  return static_cast<uint8_t>((stamp >> (8 * (i % 4))) + i / 4);
}

// Allocates blocks of 1 to 48 bytes, keeps up to eight of them, stamps each
// with a value no other owner uses and checks the stamp before releasing it.
// A block handed to two owners shows up as a damaged stamp. owner: 1 to 255.
inline ChurnResult ChurnBlocks(storage::PageMemoryManager& manager, uint32_t rounds, uint32_t owner) {
  struct Held {
    uint32_t offset;
    uint32_t size;
    uint32_t stamp;
  };
  constexpr uint32_t kMaxHeld = 8;
  Held held[kMaxHeld];
  uint32_t count = 0;
  ChurnResult result;
  std::minstd_rand random(owner);
  uint32_t sequence = 0;

  auto release = [&](uint32_t index) {
    const Held block = held[index];
    const auto* bytes = static_cast<const uint8_t*>(manager.GetPoint(block.offset));
    for (uint32_t i = 0; i < block.size; ++i) {
      if (bytes[i] != StampByte(block.stamp, i)) {
        ++result.damagedStamps;
        break;
      }
    }
    manager.Release(block.offset);
    held[index] = held[--count];
  };

  for (uint32_t round = 0; round < rounds; ++round) {
    if (count == kMaxHeld || (count > 0 && random() % 2 == 0)) {
      release(random() % count);
      continue;
    }
    const uint32_t size = 1 + random() % 48;
    const uint32_t offset = manager.Allocate(size);
    if (offset == storage::PageMemoryManager::kNullOffset) {
      if (count > 0) release(0);
      continue;
    }
    ++result.allocations;
    auto* bytes = static_cast<uint8_t*>(manager.GetPoint(offset));
    for (uint32_t i = 0; i < size; ++i) {
      if (bytes[i] != 0xCC) {
        ++result.dirtyBlocks;
        break;
      }
    }
    const uint32_t stamp = owner << 24 | (++sequence & 0xFFFFFF);
    for (uint32_t i = 0; i < size; ++i) bytes[i] = StampByte(stamp, i);
    held[count++] = Held{offset, size, stamp};
  }
  while (count > 0) release(count - 1);
  return result;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHARED_HELPER_PAGEMEMORYCHURN_H
