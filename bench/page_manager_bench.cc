// Block allocation on its hot paths, against the process heap's malloc and
// free: the page manager resolving an address and allocating over its hives,
// and the page memory manager inside one hive, carving fresh space or reusing
// a freed block.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "shm/MemoryConfigurator.h"
#include "shm/PageManager.h"
#include "shm/PageMemoryManager.h"

namespace {

using storage::InitMemAddress;
using storage::PageManager;
using storage::PageMemoryManager;

// A memory-only page manager under a name of this process, gone with it.
class BenchStorage {
 public:
  explicit BenchStorage(const char* purpose) {
    const std::string name =
        "Local\\pmbench_" + std::to_string(storage::platform::CurrentProcessId()) + "_" + purpose + "_";
    storage::BasicMemoryConfigurator configurator(name.c_str(), nullptr);
    manager.Initialize(&configurator);
  }
  PageManager manager;
};

void BM_PageManagerGetPoint(benchmark::State& state) {
  BenchStorage storage("getpoint");
  // Blocks over three hives, visited in a random order.
  std::vector<InitMemAddress> addresses;
  for (int i = 0; i < 3; ++i) addresses.push_back(storage.manager.Allocate(600000));
  for (int i = 0; i < 4093; ++i) addresses.push_back(storage.manager.Allocate(16));
  std::shuffle(addresses.begin(), addresses.end(), std::minstd_rand(42));
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(storage.manager.GetPoint(addresses[next]));
    next = (next + 1) & 4095;
  }
}
BENCHMARK(BM_PageManagerGetPoint);

void BM_PageManagerAllocateRelease16(benchmark::State& state) {
  BenchStorage storage("allocate");
  // Keeps a few blocks so that the hive is not empty, as in real use.
  for (int i = 0; i < 64; ++i) storage.manager.Allocate(16);
  for (auto _ : state) {
    const InitMemAddress address = storage.manager.Allocate(16);
    benchmark::DoNotOptimize(address);
    storage.manager.Release(address);
  }
}
BENCHMARK(BM_PageManagerAllocateRelease16);

// The data area of a 1 MiB hive segment, on the heap.
constexpr uint32_t kAreaSize = 1048576 - 64;

class HeapSegment : public storage::SharedRegion {
 public:
  HeapSegment() : words_(kAreaSize / 4) {}
  void Unlock() override {}
  void* GetData() override { return words_.data(); }
  uint32_t GetDataSize() override { return kAreaSize; }
  void Release() override {}
  void Close() override {}
  // Back to a zero-filled mapping, which the next Attach formats.
  void Reset() { std::fill(words_.begin(), words_.end(), 0); }

 private:
  std::vector<uint32_t> words_;
};

// Every pair carves fresh space; the hive is formatted anew when it is full.
void BM_PageMemoryManagerCarveRelease16(benchmark::State& state) {
  HeapSegment segment;
  PageMemoryManager manager;
  manager.Attach(&segment);
  for (auto _ : state) {
    uint32_t offset = manager.Allocate(16);
    if (offset == PageMemoryManager::kNullOffset) {
      state.PauseTiming();
      manager.Detach();
      segment.Reset();
      manager.Attach(&segment);
      state.ResumeTiming();
      offset = manager.Allocate(16);
    }
    benchmark::DoNotOptimize(offset);
    manager.Release(offset);
  }
  manager.Detach();
}
BENCHMARK(BM_PageMemoryManagerCarveRelease16);

// A full hive: carving fails and the first free block of the table is reused.
void BM_PageMemoryManagerReuseRelease16(benchmark::State& state) {
  HeapSegment segment;
  PageMemoryManager manager;
  manager.Attach(&segment);
  const uint32_t first = manager.Allocate(16);
  while (manager.Allocate(16) != PageMemoryManager::kNullOffset) {
  }
  manager.Release(first);
  for (auto _ : state) {
    uint32_t offset = manager.Allocate(16);
    benchmark::DoNotOptimize(offset);
    manager.Release(offset);
  }
  manager.Detach();
}
BENCHMARK(BM_PageMemoryManagerReuseRelease16);

void BM_MallocFree16(benchmark::State& state) {
  for (auto _ : state) {
    void* block = std::malloc(16);
    benchmark::DoNotOptimize(block);
    std::free(block);
  }
}
BENCHMARK(BM_MallocFree16);

}  // namespace

BENCHMARK_MAIN();
