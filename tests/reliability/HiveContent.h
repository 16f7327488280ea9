// The content of a page manager's hive files for the crash tests: two large
// blocks, so that the storage spans two chained hive files, each filled with
// a pattern of the generation that saved it.
#ifndef SETTINGSTORE_TESTS_RELIABILITY_HIVECONTENT_H
#define SETTINGSTORE_TESTS_RELIABILITY_HIVECONTENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "shm/MemoryConfigurator.h"
#include "shm/PageManager.h"

namespace settingstore::test {

// Two of them do not fit one hive.
inline constexpr uint32_t kHiveBlockSize = 700000;
inline constexpr int kHiveBlocks = 2;
inline constexpr int kHiveMixed = -1;

inline uint8_t PatternByte(int generation, uint32_t index) {
  return static_cast<uint8_t>(generation * 37 + index * 13 + (index >> 8));
}

inline void StartHives(storage::PageManager& manager, const std::string& name,
                       const std::string& filePrefix) {
  storage::BasicMemoryConfigurator configurator(name.c_str(), filePrefix.c_str());
  manager.Initialize(&configurator);
}

class HiveBlocks : public storage::MemoryBlockVisitor {
 public:
  bool MemoryBlock(const storage::InitMemAddress& address, int32_t size) override {
    addresses.push_back(address);
    sizes.push_back(size);
    return true;
  }
  std::vector<storage::InitMemAddress> addresses;
  std::vector<int32_t> sizes;
};

// Makes the blocks when the storage has none, then fills them all.
inline void WriteHiveGeneration(storage::PageManager& manager, int generation) {
  // Written in place: the hives are saved only when told so.
  manager.MarkChanged();
  HiveBlocks blocks;
  manager.Enumerate(blocks, false);
  if (blocks.addresses.empty()) {
    for (int i = 0; i < kHiveBlocks; ++i) blocks.addresses.push_back(manager.Allocate(kHiveBlockSize));
  }
  for (const storage::InitMemAddress& address : blocks.addresses) {
    auto* bytes = static_cast<uint8_t*>(manager.GetPoint(address));
    for (uint32_t i = 0; i < kHiveBlockSize; ++i) bytes[i] = PatternByte(generation, i);
  }
}

// The generation of every block, or kHiveMixed when blocks are missing or
// disagree.
inline int ReadHiveGeneration(storage::PageManager& manager) {
  HiveBlocks blocks;
  manager.Enumerate(blocks, false);
  if (blocks.addresses.size() != static_cast<size_t>(kHiveBlocks)) return kHiveMixed;
  int generation = kHiveMixed;
  for (size_t b = 0; b < blocks.addresses.size(); ++b) {
    if (blocks.sizes[b] != static_cast<int32_t>(kHiveBlockSize)) return kHiveMixed;
    const auto* bytes = static_cast<const uint8_t*>(manager.GetPoint(blocks.addresses[b]));
    // The first byte names the generation; every other byte must agree.
    const int found = (bytes[0] * 173) % 256;  // 37 * 173 = 1 (mod 256)
    if (generation != kHiveMixed && found != generation) return kHiveMixed;
    for (uint32_t i = 0; i < kHiveBlockSize; ++i) {
      if (bytes[i] != PatternByte(found, i)) return kHiveMixed;
    }
    generation = found;
  }
  return generation;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_RELIABILITY_HIVECONTENT_H
