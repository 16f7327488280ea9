// Helper commands of the page memory manager tests.
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "shm/SegmentTestSupport.h"
#include "shm/helper/PageMemoryChurn.h"
#include "shm/helper/commands.h"
#include "storage/storage.h"

namespace settingstore::test {
namespace {

// Long enough for a slow start of the other helpers, short enough to end a lost test.
constexpr uint32_t kStartLimitMs = 20000;

enum PageMemoryChurnExit : int {
  kChurnDone = 0,
  kChurnFaults = 1,  // a new block was dirty, or a stamp was damaged
  kChurnNoHive = 2,  // the test's segment or start event was not there
  kChurnThrew = 3,
  kChurnBadArguments = 4,
};

// pmm-churn <segment name> <start event> <rounds> <first owner>: once the
// event is set, two threads churn blocks in the hive of the test's segment,
// as owners first and first + 1.
int PageMemoryChurn(const std::vector<std::string>& args) {
  if (args.size() != 4) return kChurnBadArguments;
  const uint32_t rounds = static_cast<uint32_t>(std::stoul(args[2]));
  const uint32_t firstOwner = static_cast<uint32_t>(std::stoul(args[3]));
  const std::unique_ptr<storage::platform::NamedEvent> start =
      storage::platform::NamedEvent::Create(args[1].c_str());
  if (start == nullptr || storage::platform::GetLastError() != storage::platform::kErrorAlreadyExists) {
    return kChurnNoHive;
  }
  SegmentPtr<MemorySegment> segment(new MemorySegment);
  if (!segment->Open(args[0].c_str(), kChurnSegmentSize)) return kChurnNoHive;
  const bool existed = storage::platform::GetLastError() == storage::platform::kErrorAlreadyExists;
  storage::PageMemoryManager manager;
  // Attached under the creation lock that Open left held, as a page manager does.
  manager.Attach(segment.get());
  segment->Unlock();
  if (!existed || !start->Wait(kStartLimitMs)) {
    manager.Detach();
    return kChurnNoHive;
  }

  ChurnResult results[2];
  bool threw[2] = {false, false};
  std::vector<std::thread> threads;
  for (uint32_t t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      try {
        results[t] = ChurnBlocks(manager, rounds, firstOwner + t);
      } catch (const storage::TechnicalException& e) {
        std::fprintf(stderr, "pmm-churn: %s\n", e.what());
        threw[t] = true;
      } catch (const storage::AssertException& e) {
        std::fprintf(stderr, "pmm-churn: %s\n", e.What().c_str());
        threw[t] = true;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  manager.Detach();
  if (threw[0] || threw[1]) return kChurnThrew;
  for (const ChurnResult& result : results) {
    if (result.dirtyBlocks != 0 || result.damagedStamps != 0) {
      std::fprintf(stderr, "pmm-churn: %u dirty blocks, %u damaged stamps\n", result.dirtyBlocks,
                   result.damagedStamps);
      return kChurnFaults;
    }
  }
  return kChurnDone;
}

const HelperCommandRegistrar kPageMemoryChurn("pmm-churn", PageMemoryChurn);

}  // namespace
}  // namespace settingstore::test
