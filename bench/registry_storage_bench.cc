// The registry backend's key paths on the persistent SQLite store (in a
// temporary database), and on the in-memory store to show the backend's own
// share of the cost.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/MemoryRegistry.h"
#include "platform/Platform.h"
#include "platform/Registry.h"
#include "storage/storage.h"

namespace {

using namespace storage;

enum Store : int64_t { kSqlite = 0, kMemory = 1 };

// A store of its own with the section HKCU\Software\Bench holding one
// 4-byte value "Value"; the store and its directory go at the end.
class BenchRegistry {
 public:
  explicit BenchRegistry(Store store) {
    if (store == kMemory) {
      platform::UseRegistryStore(std::make_shared<platform::MemoryRegistry>());
    } else {
      directory_ = std::filesystem::temp_directory_path() /
                   ("registry_bench_" + std::to_string(platform::CurrentProcessId()));
      std::filesystem::remove_all(directory_);
      std::filesystem::create_directories(directory_);
      platform::UseRegistryDatabase((directory_ / "registry.db").string().c_str());
    }
    Ref<IStorageSection> software(GetRegStorage("HKCU\\Software"));
    section_.reset(software->CreateSection("Bench"));
    const uint32_t value = 42;
    Ref<IStorageKey> key(section_->CreateKey("Value"));
    key->Write(TYPE_INTEGER, &value, sizeof value);
  }
  ~BenchRegistry() {
    section_.reset();
    platform::UseRegistryDatabase(nullptr);  // back to the default store, closing ours
    if (!directory_.empty()) std::filesystem::remove_all(directory_);
  }

  IStorageSection& section() { return *section_; }

 private:
  std::filesystem::path directory_;
  Ref<IStorageSection> section_;
};

const char* StoreLabel(const benchmark::State& state) {
  return state.range(0) == kSqlite ? "sqlite" : "memory";
}

void BM_OpenKeyAndRead(benchmark::State& state) {
  BenchRegistry registry(static_cast<Store>(state.range(0)));
  uint32_t value = 0;
  for (auto _ : state) {
    Ref<IStorageKey> key(registry.section().OpenKey("Value"));
    key->Read(&value, sizeof value);
    benchmark::DoNotOptimize(value);
  }
  state.SetLabel(StoreLabel(state));
}
BENCHMARK(BM_OpenKeyAndRead)->Arg(kSqlite)->Arg(kMemory);

void BM_CreateKeyAndWrite(benchmark::State& state) {
  BenchRegistry registry(static_cast<Store>(state.range(0)));
  uint32_t value = 0;
  for (auto _ : state) {
    Ref<IStorageKey> key(registry.section().CreateKey("Value"));
    ++value;
    key->Write(TYPE_INTEGER, &value, sizeof value);
  }
  state.SetLabel(StoreLabel(state));
}
BENCHMARK(BM_CreateKeyAndWrite)->Arg(kSqlite)->Arg(kMemory);

}  // namespace

BENCHMARK_MAIN();
