// Point reads over several reader processes while one process writes: the
// shared DOM through the public API beside LMDB, in one run, the two taking
// turns at each reader count so that a change of the machine's load falls on
// both alike. Built without the LMDB rows when liblmdb-dev is missing.
#include "support/ApiStore.h"
#include "support/CrossProcess.h"
#include "support/Workloads.h"
#ifdef SETTINGSTORE_BENCH_LMDB
#include "support/LmdbStore.h"
#endif

int main(int argc, char** argv) {
  if (bench::IsChild(argc, argv)) {
#ifdef SETTINGSTORE_BENCH_LMDB
    if (bench::ChildStore(argv) == "lmdb") return bench::RunChild<bench::LmdbOneTxnPerValue>(argv);
#endif
    return bench::RunChild<bench::SharedDomStore>(argv);
  }
  for (const int readers : {1, 2, 4}) {
    bench::RegisterScaling<bench::SharedDomStore>("shared_dom", readers);
#ifdef SETTINGSTORE_BENCH_LMDB
    bench::RegisterScaling<bench::LmdbOneTxnPerValue>("lmdb", readers);
#endif
  }
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
