// What the string holder tests and their helper processes share: a string
// table stand-in that owns an index of holders, a page manager of the test's
// own, and readers of the blocks the holders leave in it.
#ifndef SETTINGSTORE_TESTS_SHAREDSTORAGE_HELPER_STRINGHOLDERSUPPORT_H
#define SETTINGSTORE_TESTS_SHAREDSTORAGE_HELPER_STRINGHOLDERSUPPORT_H

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "shareddom/IStringHolder.h"
#include "shareddom/StringHolderFactory.h"
#include "shm/PageManager.h"
#include "shm/helper/PageManagerSupport.h"

namespace settingstore::test {

enum StringHolderHelperExit : int {
  kShDone = 0,
  kShNotFound = 1,   // no head block carries the SID
  kShWrongText = 2,  // the text read differs from the one expected
  kShNoReference = 3,
  kShThrew = 4,
  kShBadArguments = 5,
};

// Stands in for the string table: an index of holders by SID, and the
// directory of external files.
class TestStringTable : public storage::IStringHolderOwner {
 public:
  explicit TestStringTable(std::string directory) : directory_(std::move(directory)) {}
  ~TestStringTable() {
    for (auto& entry : index_) entry.second->Destroy();
  }

  // Takes ownership of the holder until remove hands it back.
  storage::IStringHolder* Enter(int32_t sid, std::unique_ptr<storage::IStringHolder> holder) {
    std::lock_guard lock(mutex_);
    return index_[sid] = holder.release();
  }
  bool Has(int32_t sid) {
    std::lock_guard lock(mutex_);
    return index_.count(sid) != 0;
  }
  void SetDirectory(std::string directory) { directory_ = std::move(directory); }

  storage::IStringHolder* remove(int32_t sid) override {
    ++removals;
    std::lock_guard lock(mutex_);
    const auto found = index_.find(sid);
    if (found == index_.end()) return nullptr;
    storage::IStringHolder* holder = found->second;
    index_.erase(found);
    return holder;
  }
  const std::string& externalDirectory() const override { return directory_; }

  std::atomic<int> removals{0};

 private:
  std::string directory_;
  std::mutex mutex_;
  std::map<int32_t, storage::IStringHolder*> index_;
};

struct Block {
  storage::InitMemAddress address;
  int32_t size;
};

// Every client block of the page manager, in hive order.
inline std::vector<Block> Blocks(storage::PageManager& pages) {
  struct Collector : storage::MemoryBlockVisitor {
    bool MemoryBlock(const storage::InitMemAddress& address, int32_t size) override {
      blocks.push_back(Block{address, size});
      return true;
    }
    std::vector<Block> blocks;
  } collector;
  pages.Enumerate(collector, false);
  return collector.blocks;
}

inline uint32_t WordAt(storage::PageManager& pages, const storage::InitMemAddress& address, uint32_t offset) {
  auto* block = static_cast<uint8_t*>(pages.GetPoint(address));
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(block + offset)).load();
}

// The head block that carries this SID; a null address when none does.
inline storage::InitMemAddress FindHead(storage::PageManager& pages, int32_t sid) {
  for (const Block& block : Blocks(pages)) {
    if ((block.size == 44 || block.size == 48) &&
        static_cast<int32_t>(WordAt(pages, block.address, 40)) == sid) {
      return block.address;
    }
  }
  return storage::InitMemAddress();
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDSTORAGE_HELPER_STRINGHOLDERSUPPORT_H
