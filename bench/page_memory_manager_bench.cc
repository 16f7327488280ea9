// Allocate + Release of 16-byte blocks in one hive, against malloc + free.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "Utils/Shared/PageMemoryManager.h"

namespace {

using storage::PageMemoryManager;

// The data area of a 1 MiB hive segment, on the heap.
constexpr uint32_t kAreaSize = 1048576 - 64;

class HeapSegment : public storage::ISharedMemory {
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
      manager.Dettach();
      segment.Reset();
      manager.Attach(&segment);
      state.ResumeTiming();
      offset = manager.Allocate(16);
    }
    benchmark::DoNotOptimize(offset);
    manager.Release(offset);
  }
  manager.Dettach();
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
  manager.Dettach();
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
