// Bringing a shared DOM up and down as a host does: the factory and its
// traits, the storage directory and hive files, the check function with the
// host's retries, and the rule of one shared DOM per process.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "SharedDOM/SampleTree.h"
#include "SharedDOM/SharedDomTestSupport.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

// The check function is a plain function: what it saw and what it answers
// live here.
struct CheckScript {
  int calls = 0;
  storage::StorageType type = storage::STORAGE_REGISTRY;
  Strings root_keys;
  std::deque<bool> answers;  // true once these run out
};
CheckScript& Script() {
  static CheckScript script;
  return script;
}

bool ScriptedCheck(storage::IStorageSection* root, storage::StorageType type) {
  CheckScript& script = Script();
  ++script.calls;
  script.type = type;
  script.root_keys = Names(root->EnumKeys());
  if (script.answers.empty()) return true;
  const bool answer = script.answers.front();
  script.answers.pop_front();
  return answer;
}

// Error messages of the library, collected through the host's log sink.
std::mutex log_mutex;
Strings& Log() {
  static Strings log;
  return log;
}
void CollectLog(storage::logger::Level level, const char* message) {
  if (level != storage::logger::LEVEL_ERROR) return;
  std::lock_guard<std::mutex> hold(log_mutex);
  Log().emplace_back(message);
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Script() = CheckScript{};
    Log().clear();
    storage::logger::SetSink(CollectLog);
  }
  void TearDown() override {
    storage::logger::SetSink(nullptr);
    DeinitializeStorage(storage::STORAGE_SHARED_DOM);
  }

  // Writes one key into the storage at path, so that later loads find content.
  void Seed(const std::string& path) {
    HostInitializer init(path);
    SharedDomSession session(init);
    WriteString(*Ref<IStorageKey>(session.Root()->CreateKey("Marker")), "seeded");
  }

  std::string StoragePath() const { return dir_.File("store"); }

  TempDirectory dir_;
};

TEST_F(LifecycleTest, AHostBringsTheStorageUpAndDown) {
  const fs::path storage_dir = dir_.path() / "not" / "there" / "yet";
  ASSERT_FALSE(fs::exists(storage_dir));
  HostInitializer init(storage_dir.string());
  {
    SharedDomSession session(init);
    EXPECT_EQ(init.calls, (Strings{"Begin", "Succeeded"}));
    EXPECT_TRUE(fs::is_directory(storage_dir)) << "the storage directory is made when missing";

    storage::ITraits* traits = session.factory().GetTraits();
    EXPECT_STREQ(traits->GetName(), "Shared Memory Manager");
    EXPECT_TRUE(traits->IsThreadSafe());
    EXPECT_TRUE(traits->IsInterprocess());
    EXPECT_EQ(traits->GetType(), storage::STORAGE_SHARED_DOM);

    Ref<IStorageSection> root = session.Root();
    EXPECT_EQ(root.get(), session.Root().get()) << "every GetRoot gives the one root section";
    WriteSample(*root, 0);
  }
  EXPECT_TRUE(fs::exists(storage_dir / ".storage000d.dm2"));
  EXPECT_TRUE(fs::exists(storage_dir / ".storageMap000d.dm2"));
  EXPECT_TRUE(DeinitializeStorage(storage::STORAGE_SHARED_DOM)) << "a second teardown finds nothing to do";
  EXPECT_TRUE(DeinitializeStorage(storage::STORAGE_SHARED_DOM));

  HostInitializer again(storage_dir.string());
  SharedDomSession reloaded(again);
  EXPECT_EQ(CheckSample(*reloaded.Root(), 0), "");
}

// The last host to leave writes the hive files only when something changed,
// and DeinitializeStorage tells it when that write failed.
TEST_F(LifecycleTest, TheLastHostSavesOnlyChangesAndLearnsWhetherTheSaveFailed) {
  const auto leave = [](const std::string& path, bool write) {
    HostInitializer init(path);
    storage::NoThrowStorageFactory* factory = InitializeStorage(storage::STORAGE_SHARED_DOM, &init);
    {
      Ref<IStorageSection> root(factory->GetRoot());
      if (write) WriteString(*Ref<IStorageKey>(root->CreateKey("Marker")), "changed");
      EXPECT_FALSE(ReadBytes(*Ref<IStorageKey>(root->OpenKey("Marker"))).empty());
    }
    factory->Dispose();
    return DeinitializeStorage(storage::STORAGE_SHARED_DOM);
  };
  const auto files = [&] {
    std::vector<std::pair<std::string, fs::file_time_type>> state;
    for (const char* name : {".storage000d.dm2", ".storageMap000d.dm2"}) {
      const fs::path file = fs::path(StoragePath()) / name;
      std::ifstream in(file, std::ios::binary);
      state.emplace_back(std::string(std::istreambuf_iterator<char>(in), {}), fs::last_write_time(file));
    }
    return state;
  };
  Seed(StoragePath());
  const auto seeded = files();
  EXPECT_TRUE(leave(StoragePath(), false));
  EXPECT_TRUE(files() == seeded) << "a host that only read rewrote the files";
  EXPECT_TRUE(leave(StoragePath(), true));
  EXPECT_FALSE(files()[0].first == seeded[0].first) << "a change was not saved";
  EXPECT_TRUE(Log().empty()) << Log().front();

  // Below a regular file no hive file can be written: the change is lost, and said so.
  std::ofstream(dir_.File("plain")) << "not a directory";
  EXPECT_FALSE(leave(dir_.File("plain/store"), true));
  std::lock_guard<std::mutex> hold(log_mutex);
  EXPECT_NE(
      std::find_if(Log().begin(), Log().end(),
                   [](const std::string& line) { return line.find("plain/store/.storage") != line.npos; }),
      Log().end());
}

TEST_F(LifecycleTest, TheRootOutlivesTheFactoryWhileTheHostHoldsIt) {
  HostInitializer init(StoragePath());
  storage::NoThrowStorageFactory* factory = InitializeStorage(storage::STORAGE_SHARED_DOM, &init);
  ASSERT_NE(factory, nullptr);
  Ref<IStorageSection> root(factory->GetRoot());
  factory->Dispose();
  WriteInteger(*Ref<IStorageKey>(root->CreateKey("After")), 5);
  EXPECT_EQ(Names(root->EnumKeys()), Strings{"After"});
  root.reset();
  EXPECT_TRUE(DeinitializeStorage(storage::STORAGE_SHARED_DOM));
}

TEST_F(LifecycleTest, NothingOutlivesTheLastHostButTheHiveFiles) {
  Seed(StoragePath());
  for (const char* file : {".storage000d.dm2", ".storageMap000d.dm2"}) {
    ASSERT_TRUE(fs::remove(fs::path(StoragePath()) / file)) << file;
  }
  HostInitializer init(StoragePath());
  SharedDomSession session(init);
  EXPECT_EQ(Names(session.Root()->EnumKeys()), Strings{}) << "the content came from somewhere but the files";
}

TEST_F(LifecycleTest, TheCheckFunctionSeesTheLoadedRoot) {
  Seed(StoragePath());
  HostInitializer init(StoragePath());
  init.check = ScriptedCheck;
  SharedDomSession session(init);
  EXPECT_EQ(Script().calls, 1);
  EXPECT_EQ(Script().type, storage::STORAGE_SHARED_DOM);
  EXPECT_EQ(Script().root_keys, Strings{"Marker"});
  EXPECT_EQ(init.calls, (Strings{"Begin", "Succeeded"}));
}

TEST_F(LifecycleTest, ARejectedLoadFailsWhenTheHostDoesNotRetry) {
  Seed(StoragePath());
  HostInitializer init(StoragePath());
  init.check = ScriptedCheck;
  Script().answers = {false};
  EXPECT_EQ(Outcome([&] { return InitializeStorage(storage::STORAGE_SHARED_DOM, &init); }),
            "LoadStorageFailedException");
  EXPECT_EQ(init.calls, (Strings{"Begin", "Failed", "Retry"}));
  EXPECT_EQ(Script().calls, 1);
  {
    std::lock_guard<std::mutex> hold(log_mutex);
    EXPECT_EQ(std::count(Log().begin(), Log().end(), "Initialization failed - CheckStorageException handled"),
              1);
  }

  // The host takes the failed type down and tries again with a good check.
  EXPECT_TRUE(DeinitializeStorage(storage::STORAGE_SHARED_DOM));
  HostInitializer good(StoragePath());
  good.check = ScriptedCheck;
  SharedDomSession session(good);
  EXPECT_EQ(good.calls, (Strings{"Begin", "Succeeded"}));
  EXPECT_EQ(ReadBytes(*Ref<IStorageKey>(session.Root()->OpenKey("Marker"))), std::string("seeded\0", 7));
}

TEST_F(LifecycleTest, EveryRetryIsAFreshAttempt) {
  Seed(StoragePath());
  HostInitializer rejected(StoragePath());
  rejected.check = ScriptedCheck;
  rejected.retry_answers = {true, true, false};
  Script().answers = {false, false, false};
  EXPECT_EQ(Outcome([&] { return InitializeStorage(storage::STORAGE_SHARED_DOM, &rejected); }),
            "LoadStorageFailedException");
  EXPECT_EQ(rejected.calls,
            (Strings{"Begin", "Failed", "Retry", "Begin", "Failed", "Retry", "Begin", "Failed", "Retry"}));
  EXPECT_EQ(Script().calls, 3);
  EXPECT_TRUE(DeinitializeStorage(storage::STORAGE_SHARED_DOM));

  // Rejected once, accepted on the retry: the second attempt loads cleanly.
  HostInitializer second_time(StoragePath());
  second_time.check = ScriptedCheck;
  second_time.retry_answers = {true};
  Script() = CheckScript{};
  Script().answers = {false, true};
  SharedDomSession session(second_time);
  EXPECT_EQ(second_time.calls, (Strings{"Begin", "Failed", "Retry", "Begin", "Succeeded"}));
  EXPECT_EQ(Script().calls, 2);
  EXPECT_EQ(Script().root_keys, Strings{"Marker"});
  Ref<IStorageSection> root = session.Root();
  WriteInteger(*Ref<IStorageKey>(root->CreateKey("Later")), 1);
  EXPECT_EQ(Names(root->EnumKeys()), (Strings{"Marker", "Later"}));
}

TEST_F(LifecycleTest, ADamagedHiveFileIsRefusedOnEveryAttempt) {
  Seed(StoragePath());
  // One byte of the string file's content changes after it was saved.
  {
    std::fstream file(fs::path(StoragePath()) / ".storageMap000d.dm2",
                      std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(4096);
    const char byte = static_cast<char>(file.get() ^ 0x5A);
    file.seekp(4096);
    file.put(byte);
    ASSERT_TRUE(file.good());
  }
  HostInitializer init(StoragePath());
  init.retry_answers = {true};
  EXPECT_EQ(Outcome([&] { return InitializeStorage(storage::STORAGE_SHARED_DOM, &init); }),
            "LoadStorageFailedException");
  EXPECT_EQ(init.calls, (Strings{"Begin", "Failed", "Retry", "Begin", "Failed", "Retry"}));
  {
    std::lock_guard<std::mutex> hold(log_mutex);
    EXPECT_EQ(std::count(Log().begin(), Log().end(), "Initialization failed - ChecksumException handled"), 2)
        << "the retry met the same damage, not what the first attempt left behind";
  }
  EXPECT_TRUE(DeinitializeStorage(storage::STORAGE_SHARED_DOM));

  // Nothing stays locked or half up: without the damaged files the path loads.
  fs::remove(fs::path(StoragePath()) / ".storageMap000d.dm2");
  fs::remove(fs::path(StoragePath()) / ".storage000d.dm2");
  HostInitializer fresh(StoragePath());
  SharedDomSession session(fresh);
  EXPECT_EQ(fresh.calls, (Strings{"Begin", "Succeeded"}));
  WriteInteger(*Ref<IStorageKey>(session.Root()->CreateKey("Again")), 1);
  EXPECT_EQ(Names(session.Root()->EnumKeys()), Strings{"Again"});
}

TEST_F(LifecycleTest, OneSharedDomPerProcess) {
  HostInitializer init(StoragePath());
  SharedDomSession session(init);
  Ref<IStorageSection> root = session.Root();
  WriteInteger(*Ref<IStorageKey>(root->CreateKey("First")), 1);

  for (const std::string& path : {StoragePath(), dir_.File("other")}) {
    HostInitializer second(path);
    EXPECT_EQ(Outcome([&] { return InitializeStorage(storage::STORAGE_SHARED_DOM, &second); }),
              "StorageAccessDeniedException")
        << path;
    EXPECT_EQ(second.calls, Strings{}) << "a refused host gets no load attempt";
  }

  // The storage that is up carries on untouched.
  WriteInteger(*Ref<IStorageKey>(root->CreateKey("Second")), 2);
  EXPECT_EQ(Names(root->EnumKeys()), (Strings{"First", "Second"}));
  EXPECT_EQ(ReadInteger(*Ref<IStorageKey>(root->OpenKey("First"))), 1u);
}

}  // namespace
}  // namespace settingstore::test
