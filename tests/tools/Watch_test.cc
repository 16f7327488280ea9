// Watches through the public API, woken by the `settingstore` tool writing
// from another process and by threads of this one, on every backend; and the
// tool's own `watch`.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <poll.h>
#else
#include <windows.h>
#endif

#include <cstdint>
#include <thread>

#include "api/Storages.h"
#include "storage/watch.h"
#include "tools/CliRunner.h"

namespace settingstore::test {
namespace {

using storage::ISectionWatch;

bool BecomesReady(storage::WatchHandle handle, int milliseconds) {
#ifdef _WIN32
  return WaitForSingleObject(handle, static_cast<DWORD>(milliseconds)) == WAIT_OBJECT_0;
#else
  pollfd ready{handle, POLLIN, 0};
  return poll(&ready, 1, milliseconds) == 1;
#endif
}

// The storage made by the tool, and open in this process too.
class Watch : public ::testing::TestWithParam<storage::StorageType> {
 protected:
  void SetUp() override {
    const storage::StorageType type = GetParam();
    options_ = type == storage::STORAGE_XML        ? XmlStorage(runner_)
               : type == storage::STORAGE_REGISTRY ? RegistryStorage(runner_)
                                                   : SharedStorage(runner_);
    runner_.Ok(options_ + Words{"set", "Watched", "seed", "0"});
    if (type == storage::STORAGE_REGISTRY) storage::SetRegistryDatabase(runner_.File("registry.db").c_str());
    init_ = std::make_unique<HostInitializer>(options_.back());
    factory_ = InitializeStorage(type, init_.get());
    ASSERT_NE(factory_, nullptr);
    root_ = Ref<IStorageSection>(factory_->GetRoot());
  }
  void TearDown() override {
    root_.reset();
    if (factory_ != nullptr) factory_->Dispose();
    DeinitializeStorage(GetParam());
    storage::SetRegistryDatabase(nullptr);
  }

  Ref<ISectionWatch> WatchOf(const char* path, bool subtree) {
    Ref<IStorageSection> section(root_->CreateSection(path));
    return Ref<ISectionWatch>(storage::WatchSection(section.get(), subtree));
  }
  uint32_t ReadCounter(IStorageSection* section) {
    uint32_t value = 0;
    Ref<IStorageKey>(section->OpenKey("counter"))->Read(&value, sizeof(value));
    return value;
  }

  CliRunner runner_;
  Words options_;
  std::unique_ptr<HostInitializer> init_;
  storage::NoThrowStorageFactory* factory_ = nullptr;
  Ref<IStorageSection> root_;
};

TEST_P(Watch, AnotherProcessWakesTheWatcherOfItsSectionOnly) {
  Ref<IStorageSection>(root_->CreateSection("Watched\\Deeper"));  // the change comes below the top
  Ref<ISectionWatch> watched = WatchOf("Watched", true);
  Ref<ISectionWatch> quiet = WatchOf("Quiet", false);
  ASSERT_TRUE(watched && quiet);
  WatchOf("Watched", false);  // a watch that ends at once takes no other watch's wake with it
  CliResult written;
  std::thread writer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    written = runner_.Run(options_ + Words{"set", "Watched/Deeper", "width", "1280", "--type", "int"});
  });
  // Woken while it waits, well before the bound.
  EXPECT_EQ(watched->Wait(60000), storage::WATCH_CHANGED);
  writer.join();
  EXPECT_EQ(written.status, 0) << written.err;
  // An XML storage reports another process's save to every watch: this
  // process reads the document it loaded.
  if (GetParam() == storage::STORAGE_XML) return;
  EXPECT_EQ(quiet->Wait(0), storage::WATCH_TIMEOUT);
  Ref<IStorageSection> deeper(root_->OpenSection("Watched\\Deeper"));
  Ref<IStorageKey> width(deeper->OpenKey("width"));
  uint32_t value = 0;
  ASSERT_TRUE(width->Read(&value, sizeof(value)));
  EXPECT_EQ(value, 1280u);
}

TEST_P(Watch, StormOfWritesEndsWithTheLastValueAndTheHandleBecomesReady) {
  Ref<IStorageSection> storm(root_->CreateSection("Storm"));
  Ref<ISectionWatch> watch(storage::WatchSection(storm.get(), false));
  ASSERT_TRUE(watch);
  const storage::WatchHandle handle = watch->GetHandle();
  constexpr uint32_t kWrites = 10000;
  std::thread writer([&] {
    Ref<IStorageKey> counter(storm->CreateKey("counter"));
    for (uint32_t i = 1; i <= kWrites; ++i) counter->Write(storage::TYPE_INTEGER, &i, sizeof(i));
  });
  EXPECT_TRUE(BecomesReady(handle, 60000));
  // A slow watcher: every answer is a change, and the last one shows the last write.
  uint32_t seen = 0;
  while (seen != kWrites) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    const storage::WatchResult result = watch->Wait(60000);
    ASSERT_EQ(result, storage::WATCH_CHANGED) << "after reading " << seen;
    seen = ReadCounter(storm.get());
  }
  writer.join();
  // The host may have read the last value before the watch looked at it:
  // then one answer is left, and after it nothing.
  if (watch->Wait(0) == storage::WATCH_CHANGED) {
    EXPECT_EQ(ReadCounter(storm.get()), kWrites);
  }
  EXPECT_EQ(watch->Wait(0), storage::WATCH_TIMEOUT);
}

TEST_P(Watch, DeletingTheSectionEndsTheWatch) {
  Ref<IStorageSection> doomed(root_->CreateSection("Doomed\\Inner"));
  Ref<IStorageKey>(doomed->CreateKey("key"))->Write(storage::TYPE_STRING, "x", 2);
  Ref<ISectionWatch> watch = WatchOf("Doomed", true);
  ASSERT_TRUE(watch);
  doomed->DeleteKey("key");
  Ref<IStorageSection>(root_->OpenSection("Doomed"))->DeleteSection("Inner");
  Ref<ISectionWatch> parent(storage::WatchSection(root_.get(), false));
  root_->DeleteSection("Doomed");
  // Coalesced: the deletion wins over the changes before it, and stays.
  EXPECT_EQ(watch->Wait(10000), storage::WATCH_SECTION_DELETED);
  EXPECT_EQ(watch->Wait(0), storage::WATCH_SECTION_DELETED);
  // One sub-section for another is a change of the parent.
  Ref<IStorageSection>(root_->CreateSection("Reborn"));
  EXPECT_EQ(parent->Wait(10000), storage::WATCH_CHANGED);
}

// The tool prints what another process changes, with values as `get` prints
// them; killed while it waits, it leaves the writers and watchers of this
// process as they were.
TEST_P(Watch, ToolPrintsAnotherProcessesChangesAndItsKillHarmsNoOne) {
  const auto watchTool = [&](const std::string& section, const std::string& name) {
    const HelperStreams to{runner_.File(name + "-out"), runner_.File(name + "-err")};
    auto tool = std::make_unique<HelperProcess>(options_ + Words{"watch", "-r", section}, &to, SETTINGSTORE_CLI);
    for (int tries = 0; runner_.ReadOutput(name + "-err").find("watching") == std::string::npos; ++tries) {
      EXPECT_LT(tries, 1000) << "the tool never began to watch";
      if (tries >= 1000) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return tool;
  };
  const auto waitFor = [&](const std::string& name, const std::string& expected) {
    for (int tries = 0; runner_.ReadOutput(name).size() < expected.size() && tries < 600; ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(runner_.ReadOutput(name), expected);
  };
  auto watcher = watchTool("Watched", "watch");
  runner_.Ok(options_ + Words{"set", "Watched/List", "names", "a", "b", "--type", "multi"});
  runner_.Ok(options_ + Words{"rm", "Watched", "seed"});
  waitFor("watch-out", "List/ section added\nList/names set a\nb\nseed deleted\n");
  // A deleted section ends the tool's watch.
  auto listWatcher = watchTool("Watched/List", "list");
  runner_.Ok(options_ + Words{"rmsection", "-r", "Watched/List"});
  EXPECT_EQ(listWatcher->Wait(std::chrono::seconds(60)), 0);
  EXPECT_EQ(runner_.ReadOutput("list-out"), "names deleted\nWatched/List/ section deleted\n");

  watcher->Kill();
  Ref<ISectionWatch> watch = WatchOf("Watched", false);
  Ref<IStorageSection> section(root_->OpenSection("Watched"));
  Ref<IStorageKey> counter(section->CreateKey("counter"));
  for (uint32_t i = 1; i <= 1000; ++i) ASSERT_TRUE(counter->Write(storage::TYPE_INTEGER, &i, sizeof(i)));
  EXPECT_EQ(watch->Wait(10000), storage::WATCH_CHANGED);
  EXPECT_EQ(ReadCounter(section.get()), 1000u);
}

INSTANTIATE_TEST_SUITE_P(Backends, Watch,
                         ::testing::Values(storage::STORAGE_REGISTRY, storage::STORAGE_XML,
                                           storage::STORAGE_SHARED_DOM),
                         [](const auto& info) {
                           return info.param == storage::STORAGE_REGISTRY ? "Registry"
                                  : info.param == storage::STORAGE_XML    ? "Xml"
                                                                          : "SharedDom";
                         });

}  // namespace
}  // namespace settingstore::test
