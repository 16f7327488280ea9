// The XML backend (storage type 1) through the public API. Its peer for the
// cold open is expat alone parsing the same .storage file, which the backend
// must read and parse anyway; and a save of the 10,000 keys.
#include <expat.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>

#include "support/ApiStore.h"
#include "support/Workloads.h"

namespace {

// Reads the settings file and parses it with expat, counting elements.
void ColdParseWithExpat(benchmark::State& state) {
  bench::Guarded(state, [&] {
    bench::BenchDirectory directory("expat");
    bench::WriteColdStore<bench::XmlStore>(directory.path());
    int elements = 0;
    for (auto _ : state) {
      const auto start = std::chrono::steady_clock::now();
      std::ifstream file(directory.path() + "/.storage", std::ios::binary);
      const std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
      XML_Parser parser = XML_ParserCreate(nullptr);
      elements = 0;
      XML_SetUserData(parser, &elements);
      XML_SetStartElementHandler(
          parser, [](void* count, const XML_Char*, const XML_Char**) { ++*static_cast<int*>(count); });
      const bool parsed = XML_Parse(parser, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
      XML_ParserFree(parser);
      state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      if (!parsed) return state.SkipWithError("expat refused the file");
    }
    if (elements < bench::kColdSections * bench::kColdKeysPerSection) state.SkipWithError("elements missing");
  });
}

void SaveTenThousandKeys(benchmark::State& state) {
  bench::Guarded(state, [&] {
    bench::BenchDirectory directory("save");
    bench::WriteColdStore<bench::XmlStore>(directory.path());
    {
      bench::XmlStore store(directory.path());
      for (auto _ : state) store.Save();
    }
    bench::XmlStore reopened(directory.path());
    char buffer[bench::kValueSize] = {};
    reopened.OpenSection(bench::SectionName(99)).Read(bench::KeyName(9999), buffer);
    if (bench::Value(9999) != buffer) state.SkipWithError("the saved file lost a key");
  });
}

}  // namespace

int main(int argc, char** argv) {
  bench::RegisterCommonWorkloads<bench::XmlStore>("xml");
  benchmark::RegisterBenchmark("overwrite/xml_watched", bench::Overwrite<bench::XmlStore, bench::Watcher>);
  bench::RegisterColdOpen<bench::XmlStore>("xml");
  benchmark::RegisterBenchmark("cold_open/expat", ColdParseWithExpat)
      ->UseManualTime()
      ->Iterations(20)
      ->Unit(benchmark::kMillisecond);
  benchmark::RegisterBenchmark("save/xml", SaveTenThousandKeys)->Unit(benchmark::kMillisecond);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
