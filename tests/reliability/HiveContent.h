// The content of a page manager's hive files for the crash tests: two large
// blocks, so that the storage spans two chained hive files, each filled with
// a pattern of the generation that saved it.
#ifndef SETTINGSTORE_TESTS_RELIABILITY_HIVECONTENT_H
#define SETTINGSTORE_TESTS_RELIABILITY_HIVECONTENT_H

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "shm/MemoryConfigurator.h"
#include "shm/PageManager.h"

namespace settingstore::test {

// Two of them do not fit one hive.
inline constexpr uint32_t kHiveBlockSize = 700000;
inline constexpr size_t kHiveBlocks = 2;
inline constexpr int kHiveMixed = -1;

inline uint8_t PatternByte(int generation, uint32_t index) {
  return static_cast<uint8_t>(generation * 37 + index * 13 + (index >> 8));
}

inline void StartHives(storage::PageManager& manager, const std::string& name,
                       const std::string& filePrefix) {
  storage::BasicMemoryConfigurator configurator(name.c_str(), filePrefix.c_str());
  manager.Initialize(&configurator);
}

// The storage's blocks and the sizes their owners asked for.
struct HiveBlocks : storage::MemoryBlockVisitor {
  explicit HiveBlocks(storage::PageManager& manager) { manager.Enumerate(*this, false); }
  bool MemoryBlock(const storage::InitMemAddress& address, int32_t size) override {
    blocks.emplace_back(address, size);
    return true;
  }
  std::vector<std::pair<storage::InitMemAddress, int32_t>> blocks;
};

// Makes the blocks when the storage has none, then fills them all.
inline void WriteHiveGeneration(storage::PageManager& manager, int generation) {
  // Written in place: the hives are saved only when told so.
  manager.MarkChanged();
  HiveBlocks found(manager);
  for (size_t i = found.blocks.empty() ? 0 : kHiveBlocks; i < kHiveBlocks; ++i)
    found.blocks.emplace_back(manager.Allocate(kHiveBlockSize), kHiveBlockSize);
  for (const auto& [address, size] : found.blocks) {
    auto* bytes = static_cast<uint8_t*>(manager.GetPoint(address));
    for (uint32_t i = 0; i < kHiveBlockSize; ++i) bytes[i] = PatternByte(generation, i);
  }
}

// The generation of every block, or kHiveMixed when blocks are missing or
// disagree.
inline int ReadHiveGeneration(storage::PageManager& manager) {
  const HiveBlocks found(manager);
  if (found.blocks.size() != kHiveBlocks) return kHiveMixed;
  int generation = kHiveMixed;
  for (const auto& [address, size] : found.blocks) {
    const auto* bytes = static_cast<const uint8_t*>(manager.GetPoint(address));
    // The first byte names the generation; every other byte must agree.
    if (generation == kHiveMixed) generation = (bytes[0] * 173) % 256;  // 37 * 173 = 1 (mod 256)
    if (size != static_cast<int32_t>(kHiveBlockSize)) return kHiveMixed;
    for (uint32_t i = 0; i < kHiveBlockSize; ++i)
      if (bytes[i] != PatternByte(generation, i)) return kHiveMixed;
  }
  return generation;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_RELIABILITY_HIVECONTENT_H
