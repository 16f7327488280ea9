// The other processes of the shared-memory tests. Exit status: 0 done, 1 a
// fault seen, 2 an exception, 3 bad arguments or a sign that did not come.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "base/Exceptions.h"
#include "platform/Platform.h"
#include "shm/helper/OwnerLockArea.h"
#include "shm/helper/PageManagerSupport.h"
#include "storage/storage.h"

namespace settingstore::test {
namespace {

namespace platform = storage::platform;
using Args = std::vector<std::string>;
enum : int { kDone = 0, kFault = 1, kThrew = 2, kBad = 3 };

template <class Work>
int Guarded(Work work) {
  try {
    return work();
  } catch (...) {
    std::fprintf(stderr, "helper: %s\n", storage::CurrentFailure().message.c_str());
    return kThrew;
  }
}

// Two threads churn the target as owners first and first + 1; the worse exit.
int ChurnOnTwoThreads(const ChurnTarget& target, const std::string& rounds, const std::string& first) {
  int exits[2] = {kDone, kDone};
  const auto churn = [&](uint32_t t) {
    exits[t] = Guarded([&] { return Churn(target, std::stoul(rounds), std::stoul(first) + t) ? kFault : kDone; });
  };
  std::thread other(churn, 1u);
  churn(0u);
  other.join();
  return std::max(exits[0], exits[1]);
}

// owner-<count|hold|take> <mapping> [<threads> <increments>]: meets the test
// in a mapping that holds an OwnerLockArea. "hold" keeps the lock until killed.
int OwnerLock(const Args& args, const std::string& what) {
  std::unique_ptr<platform::NamedMapping> mapping = platform::NamedMapping::Open(args.at(0).c_str());
  void* view = mapping != nullptr ? mapping->Map() : nullptr;
  if (view == nullptr) return kBad;
  OwnerLockArea& area = *std::launder(static_cast<OwnerLockArea*>(view));
  if (what == "hold") {
    area.lock.Lock(storage::GetSpinCount());
    std::atomic_ref<uint32_t>(area.holder).store(platform::CurrentThreadId());
    for (;;) platform::SleepMs(1000);
  }
  if (what == "take") {
    std::atomic_ref<uint32_t>(area.taker_waiting).store(1);
    storage::owner::OwnerLockGuard guard(area.lock);
    return kDone;
  }
  std::vector<std::thread> workers;
  for (int t = 0; t < std::atoi(args.at(1).c_str()); ++t) {
    workers.emplace_back([&area, increments = std::atoi(args.at(2).c_str())] {
      for (int i = 0; i < increments; ++i) {
        storage::owner::OwnerLockGuard guard(area.lock);
        ++area.counter;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
  return kDone;
}

// segment-file-join <name> <file> <ready file> <go file>: touches the ready
// file, opens the file segment without creating it (waiting for the test's
// Unlock), which must come from memory; checks the test's mark and leaves its
// own, waits for the go file, closes.
int FileJoin(const Args& args) {
  TouchFile(args.at(2));
  SegmentPtr<FileSegment> segment(new FileSegment);
  if (!segment->Open(args.at(0).c_str(), args.at(1).c_str(), false)) return kBad;
  auto* payload = static_cast<uint8_t*>(segment->GetData());
  const bool marked = !segment->LoadedFromFile() && payload[0] == kTestMark;
  if (marked) payload[1] = kHelperMark;
  segment->Unlock();
  if (!WaitForFile(args.at(3))) return kBad;
  segment.reset();
  return marked ? kDone : kFault;
}

// segment-save-loop <name> <file>: until killed, opens the file segment, fills
// the payload with the next generation's byte and closes it, which saves it.
// Every saved image is uniform, so a torn one would show.
int SaveLoop(const Args& args) {
  for (;;) {
    SegmentPtr<FileSegment> segment(new FileSegment);
    if (!segment->Open(args.at(0).c_str(), args.at(1).c_str(), true)) return kBad;
    auto* payload = static_cast<uint8_t*>(segment->GetData());
    std::memset(payload, payload[0] + 1, segment->GetDataSize());
    segment->Unlock();
  }
}

// pmm-churn <segment> <size> <rounds> <first owner>: churns blocks in the
// hive of the test's segment.
int HiveChurn(const Args& args) {
  SegmentPtr<MemorySegment> segment(new MemorySegment);
  if (!segment->Open(args[0].c_str(), std::stoul(args.at(1)))) return kBad;
  const bool existed = platform::GetLastError() == platform::kErrorAlreadyExists;
  storage::PageMemoryManager manager;
  manager.Attach(segment.get());  // under the creation lock that Open left held, as a page manager does
  segment->Unlock();
  const int exit = existed ? ChurnOnTwoThreads(TargetOf(manager), args.at(2), args.at(3)) : kBad;
  manager.Detach();
  return exit;
}

// pm-churn <name> <file prefix> <rounds> <first owner>: churns blocks in the
// file-backed page manager.
int PageManagerChurn(const Args& args) {
  storage::PageManager manager;
  StartPageManager(manager, args.at(0), args.at(1));
  return ChurnOnTwoThreads(TargetOf(manager), args.at(2), args.at(3));
}

}  // namespace
}  // namespace settingstore::test

int main(int argc, char** argv) {
  using namespace settingstore::test;
  using Command = int (*)(const Args&);
  const std::map<std::string, Command> commands = {
      {"owner-count", [](const Args& a) { return OwnerLock(a, "count"); }},
      {"owner-hold", [](const Args& a) { return OwnerLock(a, "hold"); }},
      {"owner-take", [](const Args& a) { return OwnerLock(a, "take"); }},
      {"segment-file-join", FileJoin},
      {"segment-save-loop", SaveLoop},
      {"pmm-churn", HiveChurn},
      {"pm-churn", PageManagerChurn}};
  const auto found = argc > 1 ? commands.find(argv[1]) : commands.end();
  if (found == commands.end()) return kBad;
  return Guarded([&] { return found->second(Args(argv + 2, argv + argc)); });
}
