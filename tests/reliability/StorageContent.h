// What the crash tests write and read back: a "generation" of content that a
// save either keeps whole or replaces whole. Every piece carries the
// generation, so that a mixture of two saves shows. For a storage's settings,
// keys that name it; for a page manager's hive files, two large blocks (the
// storage then spans two chained hive files) filled with its pattern.
#ifndef SETTINGSTORE_TESTS_RELIABILITY_STORAGECONTENT_H
#define SETTINGSTORE_TESTS_RELIABILITY_STORAGECONTENT_H

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "shm/MemoryConfigurator.h"
#include "shm/PageManager.h"
#include "storage/initializer.h"
#include "storage/storage.h"

namespace settingstore::test {

using storage::PathInitializer;

inline constexpr int kContentKeys = 8;
// What ReadGeneration reports for content that is not one generation.
inline constexpr int kNoContent = 0;
inline constexpr int kMixedContent = -1;

// With longText the last key's value is long: storages may keep long texts
// apart from the rest (the shared DOM keeps them in files of their own).
inline std::string ContentValue(int generation, int key, bool longText) {
  std::string value = "generation " + std::to_string(generation) + " key " + std::to_string(key);
  if (longText && key == kContentKeys - 1) value.append(3000, static_cast<char>('a' + generation % 26));
  return value;
}

// Section "data" with keys k0..k7, each naming the generation; the keys of
// even generations live in a second section too, so that the tree's shape
// changes between generations as well as its values.
inline void WriteGeneration(storage::IStorageSection* root, int generation, bool longText) {
  storage::Ref<storage::IStorageSection> data(root->CreateSection("data"));
  for (int key = 0; key < kContentKeys; ++key) {
    storage::Ref<storage::IStorageKey> item(data->CreateKey(("k" + std::to_string(key)).c_str()));
    const std::string value = ContentValue(generation, key, longText);
    item->Write(storage::TYPE_STRING, value.c_str(), static_cast<unsigned>(value.size() + 1));
  }
  if (generation % 2 == 0) {
    storage::Ref<storage::IStorageSection> even(root->CreateSection("even"));
    storage::Ref<storage::IStorageKey>(even->CreateKey("generation"))
        ->Write(storage::TYPE_INTEGER, &generation, 4);
  } else {
    try {
      storage::Ref<storage::IStorageSection>(root->OpenSection("even"))->DeleteKey("generation");
      root->DeleteSection("even");
    } catch (const storage::Exception&) {
      // Not there: nothing to remove.
    }
  }
}

// The generation that the whole content names; kNoContent when there is no
// "data" section, kMixedContent when its pieces disagree or are damaged.
inline int ReadGeneration(storage::IStorageSection* root, bool longText) {
  storage::Ref<storage::IStorageSection> data;
  try {
    data.reset(root->OpenSection("data"));
  } catch (const storage::Exception&) {
    return kNoContent;
  }
  int generation = kNoContent;
  int32_t even = -1;  // what the second section holds, when it is there
  try {
    for (int key = 0; key < kContentKeys; ++key) {
      storage::Ref<storage::IStorageKey> item(data->OpenKey(("k" + std::to_string(key)).c_str()));
      std::string value(item->GetSize(), '\0');
      item->Read(value.data(), static_cast<unsigned>(value.size()));
      const int found = std::atoi(value.c_str() + std::strlen("generation "));
      if (value.c_str() != ContentValue(found, key, longText) ||
          (generation != kNoContent && found != generation))
        return kMixedContent;
      generation = found;
    }
  } catch (const storage::Exception&) {
    return kMixedContent;
  }
  try {
    storage::Ref<storage::IStorageSection> section(root->OpenSection("even"));
    storage::Ref<storage::IStorageKey>(section->OpenKey("generation"))->Read(&even, sizeof even);
  } catch (const storage::Exception&) {
    // Odd generations have none.
  }
  return even == (generation % 2 == 0 ? generation : -1) ? generation : kMixedContent;
}

// Two of them do not fit one hive.
inline constexpr uint32_t kHiveBlockSize = 700000;
inline constexpr size_t kHiveBlocks = 2;

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

// The generation of every block, or kMixedContent when blocks are missing or
// disagree.
inline int ReadHiveGeneration(storage::PageManager& manager) {
  const HiveBlocks found(manager);
  if (found.blocks.size() != kHiveBlocks) return kMixedContent;
  int generation = kMixedContent;
  for (const auto& [address, size] : found.blocks) {
    const auto* bytes = static_cast<const uint8_t*>(manager.GetPoint(address));
    // The first byte names the generation; every other byte must agree.
    if (generation == kMixedContent) generation = (bytes[0] * 173) % 256;  // 37 * 173 = 1 (mod 256)
    if (size != static_cast<int32_t>(kHiveBlockSize)) return kMixedContent;
    for (uint32_t i = 0; i < kHiveBlockSize; ++i)
      if (bytes[i] != PatternByte(generation, i)) return kMixedContent;
  }
  return generation;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_RELIABILITY_STORAGECONTENT_H
