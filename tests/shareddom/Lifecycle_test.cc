// Bringing a shared DOM up and down as a host does: saves by the last host,
// damaged hive files, and one shared DOM per process.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "shareddom/SharedDomFixture.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;

// Error messages of the library, collected through the host's log sink.
std::mutex log_mutex;
Strings log_lines;
void CollectLog(storage::logger::Level level, const char* message) {
  std::lock_guard<std::mutex> hold(log_mutex);
  if (level == storage::logger::LEVEL_ERROR) log_lines.emplace_back(message);
}
size_t Logged(const std::string& part) {
  std::lock_guard<std::mutex> hold(log_mutex);
  return std::count_if(log_lines.begin(), log_lines.end(),
                       [&](const std::string& line) { return line.find(part) != line.npos; });
}

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_lines.clear();
    storage::logger::SetSink(CollectLog);
  }
  void TearDown() override { storage::logger::SetSink(nullptr); }

  std::string StoragePath() const { return dir_.File("store"); }
  fs::path Hive(const char* name) const { return fs::path(StoragePath()) / name; }

  TempDirectory dir_;
};

// The last host to leave writes the hive files only when something changed,
// and DeinitializeStorage tells it when that write failed.
TEST_F(LifecycleTest, TheLastHostSavesOnlyChangesAndLearnsWhetherTheSaveFailed) {
  const auto leave = [](const std::string& path, bool write) {
    HostInitializer init(path);
    storage::NoThrowStorageFactory* factory = BringUp(init);
    {
      Ref<IStorageSection> root(factory->GetRoot());
      if (write) WriteString(*root, "Marker", "changed");
      EXPECT_FALSE(ReadKey(*root, "Marker").empty());
    }
    return TakeDown(factory);
  };
  const auto files = [&] {
    std::vector<std::pair<std::string, fs::file_time_type>> state;
    for (const char* name : {".storage000d.dm2", ".storageMap000d.dm2"}) {
      std::ifstream in(Hive(name), std::ios::binary);
      state.emplace_back(std::string(std::istreambuf_iterator<char>(in), {}),
                         fs::last_write_time(Hive(name)));
    }
    return state;
  };
  EXPECT_TRUE(leave(StoragePath(), true));
  const auto seeded = files();
  EXPECT_TRUE(leave(StoragePath(), false));
  EXPECT_TRUE(files() == seeded) << "a host that only read rewrote the files";
  EXPECT_TRUE(leave(StoragePath(), true));
  EXPECT_FALSE(files()[0].first == seeded[0].first) << "a change was not saved";
  EXPECT_EQ(Logged(""), 0u);

  // Below a regular file no hive file can be written: the change is lost, and said so.
  std::ofstream(dir_.File("plain")) << "not a directory";
  EXPECT_FALSE(leave(dir_.File("plain/store"), true));
  EXPECT_GT(Logged("plain/store/.storage"), 0u);
}

TEST_F(LifecycleTest, ADamagedHiveFileIsRefusedOnEveryAttempt) {
  { WriteString(*SharedDomSession(StoragePath()).Root(), "Marker", "seeded"); }
  // One byte of the string file's content changes after it was saved.
  {
    std::fstream file(Hive(".storageMap000d.dm2"), std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(4096);
    const char byte = static_cast<char>(file.get() ^ 0x5A);
    file.seekp(4096);
    file.put(byte);
    ASSERT_TRUE(file.good());
  }
  HostInitializer init(StoragePath());
  init.retries = 1;
  EXPECT_THROW(BringUp(init), storage::LoadStorageFailedException);
  EXPECT_EQ(init.calls, (Strings{"Begin", "Failed", "Retry", "Begin", "Failed", "Retry"}));
  EXPECT_EQ(Logged("Initialization failed - ChecksumException handled"), 2u)
      << "the retry met the same damage, not what the first attempt left behind";
  EXPECT_TRUE(DeinitializeStorage(storage::STORAGE_SHARED_DOM));

  // Nothing stays locked or half up, and nothing outlives the last host but
  // the hive files: without them the path loads, empty.
  fs::remove(Hive(".storageMap000d.dm2"));
  fs::remove(Hive(".storage000d.dm2"));
  SharedDomSession session(StoragePath());
  EXPECT_EQ(session.init().calls, (Strings{"Begin", "Succeeded"}));
  WriteInteger(*session.Root(), "Again", 1);
  EXPECT_EQ(Names(session.Root()->EnumKeys()), Strings{"Again"});
}

TEST_F(LifecycleTest, OneSharedDomPerProcess) {
  SharedDomSession session(StoragePath());
  WriteInteger(*session.Root(), "First", 1);
  for (const std::string& path : {StoragePath(), dir_.File("other")}) {
    HostInitializer second(path);
    EXPECT_THROW(BringUp(second), storage::StorageAccessDeniedException) << path;
    EXPECT_EQ(second.calls, Strings{}) << "a refused host gets no load attempt";
  }
  // The storage that is up carries on untouched.
  WriteInteger(*session.Root(), "Second", 2);
  EXPECT_EQ(Names(session.Root()->EnumKeys()), (Strings{"First", "Second"}));
}

}  // namespace
}  // namespace settingstore::test
