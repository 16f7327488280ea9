// Shared DOMs brought up and down as hosts do (saves by the last host,
// damaged hive files) and used by several processes and threads at once:
// what one writes another sees at once, what they all wrote is there after
// the last one leaves, two storage paths never meet; names made at once,
// removed nodes pinned by their lockers, one access record per node, node
// locks that a killed process leaves behind; and the string table as the
// host sees it. Each helper process is a host of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "base/PathUtils.h"
#include "platform/Platform.h"
#include "shareddom/SharedDomFixture.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;
using storage::NodeRef;

// Error messages of the library, collected through the host's log sink.
std::mutex log_mutex;
Strings log_lines;
void CollectLog(storage::logger::Level level, const char* message) {
  std::lock_guard<std::mutex> hold(log_mutex);
  if (level == storage::logger::LEVEL_ERROR) log_lines.emplace_back(message);
}
size_t Logged(const std::string& part) {
  std::lock_guard<std::mutex> hold(log_mutex);
  return std::ranges::count_if(log_lines, [&](const std::string& line) { return line.find(part) != line.npos; });
}

constexpr auto kHelperLimit = std::chrono::seconds(30);
constexpr uint32_t kNoReferences = 0xCCCCCCCC;

class SharedDomTest : public ::testing::Test {
 protected:
  void SetUp() override {
    log_lines.clear();
    storage::logger::SetSink(CollectLog);
  }
  std::string Path(const char* name = "store") const { return dir_.File(name); }
  fs::path Hive(const char* name) const { return fs::path(Path()) / name; }
  // Brings the test's shared DOM up at Path().
  void Up() {
    session_.emplace(Path());
    root_ = session_->Root();
  }
  void TearDown() override {
    root_.reset();
    session_.reset();
    storage::logger::SetSink(nullptr);
  }

  TempDirectory dir_;
  std::optional<SharedDomSession> session_;
  Ref<IStorageSection> root_;
};

// The last host to leave writes the hive files only when something changed,
// and DeinitializeStorage tells it when that write failed.
TEST_F(SharedDomTest, TheLastHostSavesOnlyChangesAndLearnsWhetherTheSaveFailed) {
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
      state.emplace_back(storage::utils::ReadWholeFile(Hive(name).string()), fs::last_write_time(Hive(name)));
    }
    return state;
  };
  EXPECT_TRUE(leave(Path(), true));
  const auto seeded = files();
  EXPECT_TRUE(leave(Path(), false));
  EXPECT_TRUE(files() == seeded) << "a host that only read rewrote the files";
  EXPECT_TRUE(leave(Path(), true));
  EXPECT_FALSE(files()[0].first == seeded[0].first) << "a change was not saved";
  EXPECT_EQ(Logged(""), 0u);

  // Without its manifest (directories hold the names it would take) the set
  // is not committed: the previous save stays whole, and the host hears so.
  const std::string manifests = Path() + "/.hivesave." + std::to_string(storage::platform::CurrentProcessId());
  for (int i = 0; i < 100; ++i) fs::create_directory(manifests + "." + std::to_string(i));
  const auto saved = files();
  EXPECT_FALSE(leave(Path(), true));
  EXPECT_TRUE(files() == saved) << "a set without its manifest was committed";
  for (int i = 0; i < 100; ++i) fs::remove(manifests + "." + std::to_string(i));

  // Below a regular file no hive file can be written: the change is lost, and said so.
  std::ofstream(Path("plain")) << "not a directory";
  EXPECT_FALSE(leave(Path("plain/store"), true));
  EXPECT_GT(Logged(fs::path("plain/store/.storage").make_preferred().string()), 0u);
}

TEST_F(SharedDomTest, ADamagedHiveFileIsRefusedOnEveryAttempt) {
  { WriteString(*SharedDomSession(Path()).Root(), "Marker", "seeded"); }
  // One byte of the string file's content changes after it was saved.
  {
    std::fstream file(Hive(".storageMap000d.dm2"), std::ios::in | std::ios::out | std::ios::binary);
    file.seekg(4096);
    const char byte = static_cast<char>(file.get() ^ 0x5A);
    file.seekp(4096);
    file.put(byte);
    ASSERT_TRUE(file.good());
  }
  HostInitializer init(Path());
  init.retries = 1;
  EXPECT_THROW(BringUp(init), storage::LoadStorageFailedException);
  EXPECT_EQ(init.calls, (Strings{"Begin", "Failed", "Retry", "Begin", "Failed", "Retry"}));
  EXPECT_EQ(Logged("Initialization failed - ChecksumException handled"), 2u)
      << "the retry met the same damage, not what the first attempt left behind";
  EXPECT_TRUE(TakeDown(nullptr));

  // Nothing stays locked or half up, and nothing outlives the last host but
  // the hive files: without them the path loads, empty.
  fs::remove(Hive(".storageMap000d.dm2"));
  fs::remove(Hive(".storage000d.dm2"));
  SharedDomSession session(Path());
  EXPECT_EQ(session.init().calls, (Strings{"Begin", "Succeeded"}));
  WriteString(*session.Root(), "Again", "again");
  EXPECT_EQ(Names(session.Root()->EnumKeys()), Strings{"Again"});
}

// A process remembers where it found keys and sections; what another process
// deleted or made anew in their place must still be what it finds.
TEST_F(SharedDomTest, KeysAndSectionsReplacedInAnotherProcessAreFoundAnew) {
  Up();
  Ref<IStorageSection> index(root_->CreateSection("Index"));
  WriteString(*index, "Kept", "first");
  WriteString(*index, "Gone", "doomed");
  WriteString(*Ref<IStorageSection>(index->CreateSection("Inner")), "Old", "old");
  // The same names elsewhere keep their strings, so the look-ups after the
  // helper's changes ask for the very names that were found before.
  Ref<IStorageSection> pins(root_->CreateSection("Pins/Inner"));
  for (const char* name : {"Kept", "Gone", "Old"}) WriteString(*pins, name, "pin");
  // Found once, so that the next look-ups may come from what was found.
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(ReadKey(*index, "Kept"), std::string("first\0", 6));
    EXPECT_EQ(ReadKey(*index, "Gone"), std::string("doomed\0", 7));
    EXPECT_EQ(ReadKey(*Ref<IStorageSection>(root_->OpenSection("Index/Inner")), "Old"),
              std::string("old\0", 4));
  }

  HelperProcess helper({"replace", Path()});
  ASSERT_EQ(helper.Wait(kHelperLimit), 0);

  EXPECT_EQ(ReadKey(*index, "Kept"), std::string("second\0", 7));
  EXPECT_EQ(ReadBytes(*Ref<IStorageKey>(index->CreateKey("Kept"))), std::string("second\0", 7));
  EXPECT_THROW(Ref<IStorageKey>(index->OpenKey("Gone")), storage::OpenException);
  Ref<IStorageSection> inner(root_->OpenSection("\\index//INNER"));
  EXPECT_THROW(Ref<IStorageKey>(inner->OpenKey("Old")), storage::OpenException);
  EXPECT_EQ(ReadKey(*inner, "Fresh"), std::string("new\0", 4));
}

// What every process wrote is there after the last one leaves, also what
// one that left first wrote; and a storage of another path, up meanwhile,
// never meets it.
TEST_F(SharedDomTest, WhatEveryProcessWroteIsThereAfterAllLeaveAndTwoPathsNeverMeet) {
  const std::string hold = Path("hold");
  HelperProcess staying({"fill", Path(), "0", hold});
  ASSERT_TRUE(WaitForFile(hold + ".ready")) << "helper ended with " << staying.Wait(kHelperLimit);
  {
    SharedDomSession other(Path("other"));
    EXPECT_EQ(Names(other.Root()->EnumSections()), Strings{})
        << "the live storage of another path shows here";
    WriteSample(*other.Root(), 1);
    HelperProcess leaving({"fill", Path(), "2"});
    EXPECT_EQ(leaving.Wait(kHelperLimit), 0);
    TouchFile(hold);
    EXPECT_EQ(staying.Wait(kHelperLimit), 0) << "the storage changed while the other path's was up";
  }
  for (const auto& [path, parts] :
       std::vector<std::pair<std::string, std::vector<int>>>{{"store", {0, 2}}, {"other", {1}}}) {
    SharedDomSession session(Path(path.c_str()));
    EXPECT_EQ(Names(session.Root()->EnumSections()).size(), parts.size()) << path;
    for (int part : parts) EXPECT_TRUE(HasSample(*session.Root(), part)) << path << part;
  }
}

TEST_F(SharedDomTest, ConcurrentCreatesOfOneNameMakeOneChild) {
  Up();
  constexpr int kNames = 40;
  auto createAll = [&](const char* mark) {
    for (int i = 0; i < kNames; ++i) {
      const std::string name = "n" + std::to_string(i);
      WriteString(*root_, name.c_str(), mark);
      Ref<IStorageSection>(root_->CreateSection(name.c_str()));
    }
  };
  { std::jthread first(createAll, "first"), second(createAll, "second"); }

  std::multiset<std::string> expected;
  for (int i = 0; i < kNames; ++i) expected.insert("n" + std::to_string(i));
  const Strings keys = Names(root_->EnumKeys()), sections = Names(root_->EnumSections());
  EXPECT_EQ(std::multiset<std::string>(keys.begin(), keys.end()), expected);
  EXPECT_EQ(std::multiset<std::string>(sections.begin(), sections.end()), expected);
  for (const std::string& name : expected) {
    const std::string value = ReadKey(*root_, name.c_str());
    EXPECT_TRUE(value == std::string("first", 6) || value == std::string("second", 7))
        << name << ": " << value;
  }
}

// A locker waiting for the node lock pins the node; when the last handle
// lets go meanwhile, the locker's give-back frees the node, once. The lock
// is recursive and keeps other threads out until its last unlock.
TEST_F(SharedDomTest, ALockerPinsARemovedNodeUntilItUnlocks) {
  Up();
  std::optional<NodeRef> handle(session_->Nodes().NewElement(1));
  const InitMemAddress node = handle->Address();
  session_->Access().LockNode(node);
  session_->Access().LockNode(node);
  std::atomic<bool> entered{false};
  std::thread locker([&] {
    session_->Access().LockNode(node);
    entered = true;
    session_->Access().UnlockNode(node);
  });
  ASSERT_TRUE(WaitUntil([&] { return handle->Traits()->ReferencesWord().load() == kNoReferences + 2; }));
  handle->Mark();
  handle.reset();
  session_->Access().UnlockNode(node);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered);
  EXPECT_TRUE(HasBlock(session_->Nodes().Pages(), node));
  session_->Access().UnlockNode(node);
  locker.join();
  EXPECT_TRUE(entered);
  EXPECT_FALSE(HasBlock(session_->Nodes().Pages(), node));
}

TEST_F(SharedDomTest, ThreadsAndProcessesMakeOneAccessRecordPerNode) {
  Up();
  constexpr uint32_t kKeys = 2000;
  HelperProcess first({"access-race", Path(), std::to_string(kKeys), Path("first"), Path("go")});
  HelperProcess second({"access-race", Path(), std::to_string(kKeys), Path("second"), Path("go")});
  ASSERT_TRUE(WaitForFile(Path("first")) && WaitForFile(Path("second")));
  auto race = [&] {
    for (uint32_t i = 1; i <= kKeys; ++i) session_->Access().TraitsOf(InitMemAddress(3, 16 * i));
  };
  TouchFile(Path("go"));
  { std::jthread a(race), b(race); }
  ASSERT_EQ(first.Wait(), 0);
  ASSERT_EQ(second.Wait(), 0);

  // Each node once, with the two threads' and the two helpers' references.
  std::map<uint32_t, uint32_t> references;
  int duplicates = 0;
  storage::MemAccessController& access = session_->Access();
  for (InitMemAddress at(access.RootRecord().WordOfHead().load()); !at.IsNull();) {
    storage::AccessTraits& record = access.Traits(at);
    const uint32_t key = record.KeyWord().load();
    if (InitMemAddress(key).HiveNumber() == 3 &&
        !references.emplace(key, record.ReferencesWord() - kNoReferences).second)
      ++duplicates;
    at = InitMemAddress(record.NextWord().load());
  }
  EXPECT_EQ(duplicates, 0);
  EXPECT_EQ(references.size(), kKeys);
  EXPECT_TRUE(std::ranges::all_of(references, [](const auto& node) { return node.second == 4; }));
}

TEST_F(SharedDomTest, ANodeLockOfAKilledProcessIsTakenOver) {
  Up();
  const InitMemAddress node(3, 16 * 7);
  HelperProcess holder({"hold-node-lock", Path(), std::to_string(node.Value()), Path("ready")});
  ASSERT_TRUE(WaitForFile(Path("ready")));
  storage::AccessTraits& record = session_->Access().Traits(session_->Access().TraitsOf(node));
  EXPECT_NE(record.nodeLock.Owner(), kNoReferences);

  holder.Kill();
  session_->Access().LockNode(node);
  EXPECT_EQ(record.nodeLock.Owner(), storage::platform::CurrentThreadId());
  session_->Access().UnlockNode(node);
}

// A read holds writers off, never other readers; one that a killed process
// left midway holds them off only until it is found ended.
TEST_F(SharedDomTest, AReadOfAKilledProcessHoldsWritersOffUntilItIsFoundEnded) {
  Up();
  const InitMemAddress node(3, 16 * 9);
  HelperProcess reader({"hold-node-lock", Path(), std::to_string(node.Value()), Path("ready"), "read"});
  ASSERT_TRUE(WaitForFile(Path("ready")));
  storage::MemAccessController& access = session_->Access();
  EXPECT_TRUE(access.EnterRead(access.TraitsOf(node)));
  access.LeaveRead();
  std::atomic<bool> entered{false};
  std::thread writer([&] {
    access.LockNode(node);
    entered = true;
    access.UnlockNode(node);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_FALSE(entered);
  reader.Kill();
  writer.join();
  EXPECT_TRUE(entered);
}

// Readers of one section in several processes go on reading whole values
// while a reader and a writer among them are killed at any point.
TEST_F(SharedDomTest, ReadersReadWholeValuesWhileOthersAreKilledMidway) {
  Up();
  WriteString(*Ref<IStorageSection>(root_->CreateSection("Hot")), "K", WholeValue(0));
  HelperProcess doomedReader({"read-loop", Path(), "0", Path("reading")});
  HelperProcess doomedWriter({"write-loop", Path(), Path("writing")});
  ASSERT_TRUE(WaitForFile(Path("reading")) && WaitForFile(Path("writing")));
  HelperProcess first({"read-loop", Path(), "20000"}), second({"read-loop", Path(), "20000"});
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  doomedReader.Kill();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  doomedWriter.Kill();
  EXPECT_EQ(first.Wait(kHelperLimit), 0);
  EXPECT_EQ(second.Wait(kHelperLimit), 0);
  Ref<IStorageSection> hot(root_->OpenSection("Hot"));
  WriteString(*hot, "K", WholeValue(7));
  EXPECT_EQ(ReadKey(*hot, "K"), WholeValue(7) + '\0');
}

// Names and values share one string table, yet a name keeps the spelling
// it was first given as a name, whatever values or the storage's own words
// hold, and values keep every byte.
TEST_F(SharedDomTest, NamesAndValuesShareTheTableYetKeepTheirOwnSpelling) {
  Up();
  WriteString(*root_, "Paint", "COLOUR");
  // Binary values whose encoded texts differ only in letter case.
  Write(*root_, "Zeros", storage::TYPE_BINARY, std::string(3, '\0'));
  Write(*root_, "Swapped", storage::TYPE_BINARY, "\x69\xA6\x9A");
  for (const char* name : {"colour", "Value", "SECTION"}) Ref<IStorageSection>(root_->CreateSection(name));
  EXPECT_EQ(Names(root_->EnumSections()), (Strings{"colour", "Value", "SECTION"}));
  EXPECT_EQ(ReadKey(*root_, "zeros") + ReadKey(*root_, "swapped"), std::string(3, '\0') + "\x69\xA6\x9A");
}

TEST_F(SharedDomTest, ALongTextWhoseFileCannotBeWrittenFailsItsOperationAlone) {
#ifdef _WIN32
  GTEST_SKIP() << "renames the storage directory while its files are open, which Windows refuses";
#endif
  Up();
  WriteString(*root_, "Long", "short");
  // Long texts live in files beside the hives: with the storage directory
  // turned into a plain file, not even root can make one.
  const fs::path directory = Path(), away = Path() + ".away";
  fs::rename(directory, away);
  std::ofstream(directory).put('x');
  const std::string long_text(2000, 'x');
  for (int i = 0; i < 2; ++i) {
    try {
      i == 0 ? WriteString(*root_, "Long", long_text)
             : Ref<IStorageKey>(root_->CreateKey(long_text.c_str())).reset();
      ADD_FAILURE() << "operation " << i << " succeeded";
    } catch (const storage::Exception& error) {
      EXPECT_EQ(error.GetErrorCode(), -3) << "operation " << i;
    }
  }
  fs::remove(directory);
  fs::rename(away, directory);
  EXPECT_EQ(ReadKey(*root_, "Long"), std::string("short", 6));
  WriteString(*root_, "Long", long_text);
  EXPECT_EQ(ReadKey(*root_, "Long"), long_text + '\0');
}

}  // namespace
}  // namespace settingstore::test
