// The XML backend: loading and saving a settings file of 10,000 keys, and the
// cost of OpenKey + Read through the thread-safe wrappers.
#include <benchmark/benchmark.h>

#include <filesystem>
#include <string>

#include "ProcessValues.h"
#include "XMLStorage/IdleSave.h"
#include "XMLStorage/MTStorage.h"
#include "platform/Platform.h"

namespace {

namespace fs = std::filesystem;
using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;
using Controller = storage::MTStorageController<storage::XMLStorageController>;

constexpr int kSections = 100;
constexpr int kKeysPerSection = 100;

class QuietInitializer : public storage::IStorageInitializer {
 public:
  explicit QuietInitializer(std::string path) : path_(std::move(path)) {}
  const char* GetPath() override { return path_.c_str(); }
  const char* GetDefaultPath() override { return path_.c_str(); }
  void OnLoadBegin() override {}
  void OnLoadSucceeded() override {}
  void OnLoadFailed() override {}
  bool RetryLoad() override { return false; }
  storage::StorageCheckFunction GetCheckFunction() override { return nullptr; }

 private:
  std::string path_;
};

// A storage directory holding a settings file of 10,000 string keys in 100
// sections; removed at the end of the benchmark.
class SettingsDirectory {
 public:
  SettingsDirectory()
      : dir_(fs::temp_directory_path() /
             ("xml-bench-" + std::to_string(storage::platform::CurrentProcessId()))),
        init_(dir_.string()) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    storage::XmlStorageDirectory() = dir_.string();
    storage::XmlDefaultDirectory() = dir_.string();
    Ref<Controller> controller(new Controller(&init_));
    Ref<IStorageSection> root(controller->GetRoot());
    for (int s = 0; s < kSections; ++s) {
      Ref<IStorageSection> section(root->CreateSection(("section" + std::to_string(s)).c_str()));
      for (int k = 0; k < kKeysPerSection; ++k) {
        std::string value = "value of key " + std::to_string(k) + " in section " + std::to_string(s);
        Ref<IStorageKey>(section->CreateKey(("key" + std::to_string(k)).c_str()))
            ->Write(storage::TYPE_STRING, value.c_str(), static_cast<unsigned>(value.size() + 1));
      }
    }
    controller->Save();
  }
  ~SettingsDirectory() {
    storage::CIdleSave::WaitUntilIdle();
    fs::remove_all(dir_);
  }

  storage::IStorageInitializer* init() { return &init_; }
  uintmax_t fileSize() const { return fs::file_size(dir_ / ".storage"); }

 private:
  fs::path dir_;
  QuietInitializer init_;
};

void BM_LoadTenThousandKeys(benchmark::State& state) {
  SettingsDirectory settings;
  for (auto _ : state) {
    Ref<Controller> controller(new Controller(settings.init()));
    benchmark::DoNotOptimize(controller.get());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * settings.fileSize()));
}
BENCHMARK(BM_LoadTenThousandKeys)->Unit(benchmark::kMillisecond);

void BM_SaveTenThousandKeys(benchmark::State& state) {
  SettingsDirectory settings;
  Ref<Controller> controller(new Controller(settings.init()));
  for (auto _ : state) controller->Save();
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * settings.fileSize()));
}
BENCHMARK(BM_SaveTenThousandKeys)->Unit(benchmark::kMillisecond);

// One key among 100 of one section among 100, as a host reads a setting.
void BM_OpenKeyAndReadThroughWrappers(benchmark::State& state) {
  SettingsDirectory settings;
  Ref<Controller> controller(new Controller(settings.init()));
  Ref<IStorageSection> root(controller->GetRoot());
  Ref<IStorageSection> section(root->OpenSection("section50"));
  char buffer[64];
  for (auto _ : state) {
    Ref<IStorageKey> key(section->OpenKey("key50"));
    benchmark::DoNotOptimize(key->Read(buffer, sizeof buffer));
  }
}
BENCHMARK(BM_OpenKeyAndReadThroughWrappers);

}  // namespace

BENCHMARK_MAIN();
