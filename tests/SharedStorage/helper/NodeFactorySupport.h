// What the node tests and their helper processes share: the exit codes of the
// helper's node commands and readers of a node factory's blocks.
#ifndef SETTINGSTORE_TESTS_SHAREDSTORAGE_HELPER_NODEFACTORYSUPPORT_H
#define SETTINGSTORE_TESTS_SHAREDSTORAGE_HELPER_NODEFACTORYSUPPORT_H

#include <algorithm>
#include <cstdint>
#include <vector>

#include "SharedStorage/helper/StringHolderSupport.h"
#include "shareddom/NodeFactory.h"

namespace settingstore::test {

enum NodeHelperExit : int {
  kNodeDone = 0,
  kNodeMismatch = 1,  // the root or the blocks were not what the test said
  kNodeThrew = 2,
  kNodeBadArguments = 3,
};

// The factory's blocks of one size.
inline std::vector<Block> BlocksOfSize(storage::NodeFactory& factory, int32_t size) {
  std::vector<Block> found;
  for (const Block& block : Blocks(factory.pageManager())) {
    if (block.size == size) found.push_back(block);
  }
  return found;
}

inline bool HasBlock(storage::NodeFactory& factory, const storage::InitMemAddress& address) {
  const std::vector<Block> blocks = Blocks(factory.pageManager());
  return std::any_of(blocks.begin(), blocks.end(),
                     [&](const Block& block) { return block.address == address; });
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDSTORAGE_HELPER_NODEFACTORYSUPPORT_H
