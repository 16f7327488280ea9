// Helper commands of the page manager tests: the other processes that share
// one page manager with the test.
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "shm/helper/PageManagerSupport.h"
#include "shm/helper/commands.h"
#include "storage/storage.h"

namespace settingstore::test {
namespace {

// Runs the command's work; an exception of the library becomes kPmThrew.
template <class Work>
int Guarded(const char* command, Work work) {
  try {
    return work();
  } catch (const storage::TechnicalException& e) {
    std::fprintf(stderr, "%s: %s\n", command, e.what());
  } catch (const storage::AssertException& e) {
    std::fprintf(stderr, "%s: %s\n", command, e.What().c_str());
  } catch (const std::exception& e) {
    std::fprintf(stderr, "%s: %s\n", command, e.what());
  }
  return kPmThrew;
}

// pm-churn <name> <file prefix> <rounds> <first owner>: two threads churn
// blocks in the file-backed page manager, as owners first and first + 1.
int PageManagerChurn(const std::vector<std::string>& args) {
  if (args.size() != 4) return kPmBadArguments;
  const uint32_t rounds = static_cast<uint32_t>(std::stoul(args[2]));
  const uint32_t firstOwner = static_cast<uint32_t>(std::stoul(args[3]));
  return Guarded("pm-churn", [&]() -> int {
    storage::PageManager manager;
    StartPageManager(manager, args[0], args[1]);
    PageChurnResult results[2];
    int exits[2] = {kPmDone, kPmDone};
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 2; ++t) {
      threads.emplace_back([&, t] {
        exits[t] = Guarded("pm-churn", [&]() -> int {
          results[t] = ChurnPageManager(manager, rounds, firstOwner + t);
          return kPmDone;
        });
      });
    }
    for (std::thread& thread : threads) thread.join();
    for (uint32_t t = 0; t < 2; ++t) {
      if (exits[t] != kPmDone) return exits[t];
      if (results[t].dirtyBlocks != 0 || results[t].damagedStamps != 0) {
        std::fprintf(stderr, "pm-churn: %u dirty blocks, %u damaged stamps\n", results[t].dirtyBlocks,
                     results[t].damagedStamps);
        return kPmFault;
      }
    }
    return kPmDone;
  });
}

// pm-resolve <name> <ready file> <address file>: starts the memory-only page
// manager `name`, touches the ready file, waits for the address file
// ("<address> <size> <stamp>", decimal) and checks the stamp of that block.
int PageManagerResolve(const std::vector<std::string>& args) {
  if (args.size() != 3) return kPmBadArguments;
  return Guarded("pm-resolve", [&]() -> int {
    storage::PageManager manager;
    StartPageManager(manager, args[0], "");
    TouchFile(args[1]);
    if (!WaitForFile(args[2])) return kPmNoGoSign;
    unsigned long address = 0, size = 0, stamp = 0;
    if (std::sscanf(ReadTextFile(args[2]).c_str(), "%lu %lu %lu", &address, &size, &stamp) != 3) {
      return kPmBadArguments;
    }
    const void* block = manager.GetPoint(storage::InitMemAddress(static_cast<uint32_t>(address)));
    return HasStamp(block, static_cast<uint32_t>(size), static_cast<uint32_t>(stamp)) ? kPmDone : kPmFault;
  });
}

// pm-write <name> <file prefix> <owner> <count>: starts the file-backed page
// manager, leaves `count` blocks of kPersistedBlockSize bytes stamped
// (owner << 24 | i) and closes it.
int PageManagerWrite(const std::vector<std::string>& args) {
  if (args.size() != 4) return kPmBadArguments;
  const uint32_t owner = static_cast<uint32_t>(std::stoul(args[2]));
  const uint32_t count = static_cast<uint32_t>(std::stoul(args[3]));
  return Guarded("pm-write", [&]() -> int {
    storage::PageManager manager;
    StartPageManager(manager, args[0], args[1]);
    for (uint32_t i = 0; i < count; ++i) {
      const storage::InitMemAddress address = manager.Allocate(kPersistedBlockSize);
      Stamp(manager.GetPoint(address), kPersistedBlockSize, owner << 24 | i);
    }
    return kPmDone;
  });
}

const HelperCommandRegistrar kPageManagerChurn("pm-churn", PageManagerChurn);
const HelperCommandRegistrar kPageManagerResolve("pm-resolve", PageManagerResolve);
const HelperCommandRegistrar kPageManagerWrite("pm-write", PageManagerWrite);

}  // namespace
}  // namespace settingstore::test
