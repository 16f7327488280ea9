// Helper commands of the access controller tests: the other process that
// opens the same traits region while the test holds it.
#include <chrono>
#include <cstdio>
#include <exception>
#include <string>
#include <thread>
#include <vector>

#include "SharedStorage/AccessControllerSupport.h"
#include "shm/SegmentTestSupport.h"
#include "shm/helper/commands.h"

namespace settingstore::test {
namespace {

// Runs a command's body, turning an exception into kAccessThrew.
template <class Body>
int Guarded(const char* command, Body body) {
  try {
    return body();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", command, error.what());
  } catch (const storage::AssertException& error) {
    std::fprintf(stderr, "%s: %s\n", command, error.What().c_str());
  }
  return kAccessThrew;
}

// access-get-traits <name> <key> <expected record or ->: getTraits once and
// leaves its reference behind. With an expected record, the call must return
// it with two references counted and without a record added to the list.
int GetTraits(const std::vector<std::string>& args) {
  if (args.size() != 3) return kAccessBadArguments;
  return Guarded("access-get-traits", [&] {
    storage::MemAccessController controller(args[0].c_str());
    const size_t before = ListTraits(controller).size();
    const storage::InitMemAddress record = controller.getTraits(ParseWord(args[1]));
    if (args[2] == "-") return kAccessDone;
    const bool found = record == ParseWord(args[2]) &&
                       controller.traits(record).referencesWord().load() == 0xCCCCCCCE &&
                       ListTraits(controller).size() == before;
    return found ? kAccessDone : kAccessMismatch;
  });
}

// access-traits-race <name> <keys> <ready file> <go file>: opens the region,
// touches the ready file and, once the go file appears, calls getTraits for
// nodes 1 to keys, leaving the references behind.
int TraitsRace(const std::vector<std::string>& args) {
  if (args.size() != 4) return kAccessBadArguments;
  return Guarded("access-traits-race", [&] {
    storage::MemAccessController controller(args[0].c_str());
    TouchFile(args[2]);
    if (!WaitForFile(args[3])) return kAccessNoGoSign;
    const auto keys = static_cast<uint32_t>(std::stoul(args[1]));
    for (uint32_t i = 1; i <= keys; ++i) controller.getTraits(NodeAddress(i));
    return kAccessDone;
  });
}

// access-hold-node-lock <name> <key> <ready file>: takes the node lock,
// touches the ready file and waits to be killed.
int HoldNodeLock(const std::vector<std::string>& args) {
  if (args.size() != 3) return kAccessBadArguments;
  return Guarded("access-hold-node-lock", [&] {
    storage::MemAccessController controller(args[0].c_str());
    controller.LockNode(ParseWord(args[1]));
    TouchFile(args[2]);
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(1));
    return kAccessDone;
  });
}

const HelperCommandRegistrar kGetTraits("access-get-traits", GetTraits);
const HelperCommandRegistrar kTraitsRace("access-traits-race", TraitsRace);
const HelperCommandRegistrar kHoldNodeLock("access-hold-node-lock", HoldNodeLock);

}  // namespace
}  // namespace settingstore::test
