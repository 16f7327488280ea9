// LMDB as the peer of the shared DOM (bench/support/LmdbStore.h), on the
// common workloads, across processes, and opened cold; writes one transaction
// per value, and also one per 100.
#include "support/CrossProcess.h"
#include "support/LmdbStore.h"
#include "support/Workloads.h"

int main(int argc, char** argv) {
  if (bench::IsChild(argc, argv)) return bench::RunChild<bench::LmdbOneTxnPerValue>(argv);
  bench::RegisterCommonWorkloads<bench::LmdbOneTxnPerValue>("lmdb");
  benchmark::RegisterBenchmark("write_new/lmdb_batch100", bench::WriteNew<bench::LmdbBatched>)->Iterations(10000);
  benchmark::RegisterBenchmark("overwrite/lmdb_batch100", bench::Overwrite<bench::LmdbBatched>);
  bench::RegisterWriteMany<bench::LmdbOneTxnPerValue>("lmdb");
  bench::RegisterColdOpen<bench::LmdbOneTxnPerValue>("lmdb");
  bench::RegisterCrossProcessWorkloads<bench::LmdbOneTxnPerValue>("lmdb");
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
