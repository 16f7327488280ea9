// The registry backend (storage type 0) through the public API, on the
// persistent SQLite store in a database file of the benchmark's own. Also:
// point reads on the in-memory store, to show the backend's own share of the
// cost, and writes with the database on disk, where each one waits for its
// sync (the store promises durability per call).
#include <memory>
#include <string>

#include "platform/Registry.h"
#include "storage/storage.h"
#include "support/ApiStore.h"
#include "support/MemoryRegistry.h"
#include "support/Workloads.h"

namespace {

struct RegistryOnDisk : bench::RegistryStore {
  static constexpr bool kOnDisk = true;
  using bench::RegistryStore::RegistryStore;
};

// The same backend over the in-memory registry store.
struct MemoryRegistryChosen {
  explicit MemoryRegistryChosen(const std::string&) {
    storage::platform::UseRegistryStore(std::make_shared<storage::platform::MemoryRegistry>());
  }
  ~MemoryRegistryChosen() { storage::platform::UseRegistryStore(nullptr); }
};
using RegistryInMemory = bench::ApiStore<storage::STORAGE_REGISTRY, MemoryRegistryChosen>;

}  // namespace

int main(int argc, char** argv) {
  // Every write waits for a sync of the database: fewer new keys keep the run short.
  bench::RegisterCommonWorkloads<bench::RegistryStore>("registry", 2000);
  benchmark::RegisterBenchmark("overwrite/registry_watched", bench::Overwrite<bench::RegistryStore, bench::Watcher>);
  bench::RegisterColdOpen<bench::RegistryStore>("registry");
  benchmark::RegisterBenchmark("point_read/registry_memstore", bench::PointRead<RegistryInMemory>)
      ->Arg(10)
      ->Arg(100)
      ->Arg(1000);
  benchmark::RegisterBenchmark("write_new/registry_disk", bench::WriteNew<RegistryOnDisk>)->Iterations(200);
  benchmark::RegisterBenchmark("overwrite/registry_disk", bench::Overwrite<RegistryOnDisk>)->Iterations(200);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
