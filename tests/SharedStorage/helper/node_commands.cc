// Helper commands of the node tests: another process that opens the same tree.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "SharedStorage/AccessControllerSupport.h"
#include "SharedStorage/helper/NodeFactorySupport.h"
#include "shm/helper/commands.h"

namespace settingstore::test {
namespace {

// node-find-root <name prefix> <root> <blocks>: opens the tree, which must
// already exist with that root element and that many blocks, and must stay so.
int FindRoot(const std::vector<std::string>& args) {
  if (args.size() != 3) return kNodeBadArguments;
  try {
    storage::NodeFactory factory(args[0].c_str(), "");
    const bool same = factory.getRoot().address() == ParseWord(args[1]) &&
                      Blocks(factory.pageManager()).size() == std::stoul(args[2]);
    return same ? kNodeDone : kNodeMismatch;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "node-find-root: %s\n", error.what());
  } catch (const storage::AssertException& error) {
    std::fprintf(stderr, "node-find-root: %s\n", error.What().c_str());
  }
  return kNodeThrew;
}

const HelperCommandRegistrar kFindRoot("node-find-root", FindRoot);

}  // namespace
}  // namespace settingstore::test
