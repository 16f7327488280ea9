// A separate process for the owner lock tests, meeting them in a named mapping
// that holds an OwnerLockArea:
//   owner_lock_helper count <mapping> <threads> <increments>
//       each thread adds 1 to the plain counter <increments> times under the lock
//   owner_lock_helper hold <mapping>
//       takes the lock, says so, and waits to be killed
//   owner_lock_helper take <mapping>
//       waits for the lock, notes when it got it, releases it
// Exit status 0 on success, 2 on bad arguments, 3 when the mapping is missing.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "Utils/OwnerLockArea.h"
#include "platform/Platform.h"
#include "shm/OwnerLock.h"

namespace {

using storage::owner::OwnerLockGuard;
namespace platform = storage::platform;

void Count(OwnerLockArea& area, int threads, int increments) {
  std::vector<std::thread> workers;
  for (int t = 0; t < threads; ++t) {
    workers.emplace_back([&area, increments] {
      area.AddThread(platform::CurrentThreadId());
      for (int i = 0; i < increments; ++i) {
        OwnerLockGuard guard(area.lock);
        ++area.counter;
      }
    });
  }
  for (std::thread& worker : workers) worker.join();
}

[[noreturn]] void HoldUntilKilled(OwnerLockArea& area) {
  area.lock.lock(storage::GetSpinCount());
  area.AddThread(platform::CurrentThreadId());
  std::atomic_ref<uint32_t>(area.holder).store(platform::CurrentThreadId());
  for (;;) platform::SleepMs(1000);
}

void Take(OwnerLockArea& area) {
  area.AddThread(platform::CurrentThreadId());
  std::atomic_ref<uint32_t>(area.taker_waiting).store(1);
  OwnerLockGuard guard(area.lock);
  std::atomic_ref<uint64_t>(area.taken_at_ms).store(platform::TickCountMs());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  std::unique_ptr<platform::NamedMapping> mapping = platform::NamedMapping::Open(argv[2]);
  void* view = mapping != nullptr ? mapping->Map() : nullptr;
  if (view == nullptr) return 3;
  OwnerLockArea& area = *std::launder(static_cast<OwnerLockArea*>(view));

  if (std::strcmp(argv[1], "count") == 0 && argc == 5) {
    Count(area, std::atoi(argv[3]), std::atoi(argv[4]));
  } else if (std::strcmp(argv[1], "hold") == 0) {
    HoldUntilKilled(area);
  } else if (std::strcmp(argv[1], "take") == 0) {
    Take(area);
  } else {
    return 2;
  }
  return 0;
}
