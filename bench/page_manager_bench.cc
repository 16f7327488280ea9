// The page manager on its hot paths: resolving an address, and a small block
// allocated and given back, against the process heap's malloc and free.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "SharedStorage/MemoryConfigurator.h"
#include "Utils/Shared/PageManager.h"
#include "platform/Platform.h"

namespace {

using storage::InitMemAddress;
using storage::PageManager;

// A memory-only page manager under a name of this process, gone with it.
class BenchStorage {
 public:
  explicit BenchStorage(const char* purpose) {
    const std::string name =
        "Local\\pmbench_" + std::to_string(storage::platform::CurrentProcessId()) + "_" + purpose + "_";
    storage::AMemoryConfigurator configurator(name.c_str(), nullptr);
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
