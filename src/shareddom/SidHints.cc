#include "shareddom/SidHints.h"

#include "shm/MemoryConfigurator.h"

namespace storage {

namespace {

// Finds the table: the region holds no other block of its size.
class TableFinder : public MemoryBlockVisitor {
 public:
  bool MemoryBlock(const InitMemAddress& address, int32_t size) override {
    if (size != static_cast<int32_t>(SidHints::kTableSize)) return true;
    found = address;
    return false;
  }
  InitMemAddress found;
};

}  // namespace

SidHints::SidHints(const std::string& name) : pageManager_(std::make_unique<PageManager>()) {
  MemoryConfigurator<SidHints> configurator(this, name.c_str(), "");
  pageManager_->Initialize(&configurator);
}

void SidHints::OnMemManagerInitialized() {
  TableFinder finder;
  pageManager_->Enumerate(finder, false);
  // A new block reads 0xCCCCCCCC in every word: a SID no string has.
  const InitMemAddress table = finder.found.IsNull() ? pageManager_->Allocate(kTableSize) : finder.found;
  table_ = static_cast<uint32_t*>(pageManager_->GetPoint(table));
}

void SidHints::Record(int32_t sid, const InitMemAddress& head) {
  // A writer killed in between leaves the slot naming no SID.
  SidWord(sid).store(0);
  WordOfHead(sid).store(head.Value());
  SidWord(sid).store(static_cast<uint32_t>(sid));
}

InitMemAddress SidHints::Find(int32_t sid) {
  if (SidWord(sid).load() != static_cast<uint32_t>(sid)) return InitMemAddress();
  return InitMemAddress(WordOfHead(sid).load());
}

}  // namespace storage
