// What the string factory tests and their helper processes share: the exit
// codes, the texts of the many-process run, readers of the table's root block
// and a way to use up a hive's fresh space.
#ifndef SETTINGSTORE_TESTS_SHAREDSTORAGE_HELPER_STRINGFACTORYSUPPORT_H
#define SETTINGSTORE_TESTS_SHAREDSTORAGE_HELPER_STRINGFACTORYSUPPORT_H

#include <atomic>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "SharedStorage/helper/StringHolderSupport.h"
#include "shareddom/StringFactory.h"
#include "shm/OwnerLock.h"
#include "shm/SegmentTestSupport.h"

namespace settingstore::test {

enum StringFactoryHelperExit : int {
  kSfDone = 0,
  kSfMismatch = 1,  // a SID or text differed from what the test expected
  kSfThrew = 2,
  kSfBadArguments = 3,
  kSfNoGoSign = 4,
};

// Waits up to two minutes for another process's sign: the processes of a
// run under a sanitizer may take that long.
inline bool WaitForSign(const std::filesystem::path& path) {
  for (int round = 0; round < 12; ++round) {
    if (WaitForFile(path)) return true;
  }
  return false;
}

// The texts of the many-process run: "Text-<i>".
inline std::string SharedText(int i) { return "Text-" + std::to_string(i); }

// The text with every letter's case chosen at random.
inline std::string RandomCase(const std::string& text, std::mt19937& random) {
  std::string result = text;
  for (char& c : result) {
    if (std::isalpha(static_cast<unsigned char>(c)) == 0) continue;
    c = (random() & 1) != 0 ? static_cast<char>(std::toupper(static_cast<unsigned char>(c)))
                            : static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  }
  return result;
}

// The table's root block: the one 12-byte block of its hives.
inline uint32_t* RootWords(storage::StringFactory& factory) {
  for (const Block& block : Blocks(factory.pageManager())) {
    if (block.size == static_cast<int32_t>(storage::StringFactory::kRootSize)) {
      return static_cast<uint32_t*>(factory.pageManager().GetPoint(block.address));
    }
  }
  return nullptr;
}

inline std::atomic_ref<uint32_t> SidCounter(storage::StringFactory& factory) {
  return std::atomic_ref<uint32_t>(RootWords(factory)[2]);
}

inline storage::owner::OwnerLock& RootLock(storage::StringFactory& factory) {
  return *reinterpret_cast<storage::owner::OwnerLock*>(RootWords(factory));
}

// The blocks of string heads (44 and 48 bytes) and chunks (36 bytes).
inline std::vector<Block> StringBlocks(storage::PageManager& pages) {
  std::vector<Block> strings;
  for (const Block& block : Blocks(pages)) {
    if (block.size == 36 || block.size == 44 || block.size == 48) strings.push_back(block);
  }
  return strings;
}

// Takes hive 1's remaining fresh space with filler blocks, so that its next
// allocations reuse released blocks (or go to a new hive). Returns the fillers.
inline std::vector<storage::InitMemAddress> FillFirstHive(storage::PageManager& pages) {
  std::vector<storage::InitMemAddress> fillers;
  for (uint32_t size = 1 << 19; size >= 4;) {
    const storage::InitMemAddress address = pages.Allocate(size);
    if (address.hive() == 1) {
      fillers.push_back(address);
    } else {
      pages.Release(address);
      size /= 2;
    }
  }
  return fillers;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDSTORAGE_HELPER_STRINGFACTORYSUPPORT_H
