// The shared DOM backend (storage type 2) through the public API, on the
// common workloads and 100,000 new keys, across processes, and opened cold
// from its .dm2 files (its scaling over reader processes: scaling_bench).
// A process has one shared DOM at a time, so each benchmark brings its own
// storage up and tears it down before the next one starts.
#include "support/ApiStore.h"
#include "support/CrossProcess.h"
#include "support/Workloads.h"

int main(int argc, char** argv) {
  if (bench::IsChild(argc, argv)) return bench::RunChild<bench::SharedDomStore>(argv);
  bench::RegisterCommonWorkloads<bench::SharedDomStore>("shared_dom");
  benchmark::RegisterBenchmark("overwrite/shared_dom_watched", bench::Overwrite<bench::SharedDomStore, bench::Watcher>);
  bench::RegisterWriteMany<bench::SharedDomStore>("shared_dom");
  bench::RegisterColdOpen<bench::SharedDomStore>("shared_dom");
  bench::RegisterCrossProcessWorkloads<bench::SharedDomStore>("shared_dom");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
