// Shared DOMs used by several processes and threads at once: what one
// writes another sees at once, what they all wrote is there after the last
// one leaves, two storage paths never meet; names made at once, removed
// nodes pinned by their handles and lockers, one access record per node,
// node locks that a killed process leaves behind; and the string table as
// the host sees it. Each helper process is a host of its own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "shareddom/SharedDomFixture.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;
using storage::NodeRef;

// Every name an enumerator gives, in any order.
std::multiset<std::string> Sorted(storage::INamesEnumerator* names) {
  const Strings all = Names(names);
  return {all.begin(), all.end()};
}

constexpr auto kHelperLimit = std::chrono::seconds(30);
constexpr uint32_t kNoReferences = 0xCCCCCCCC;

class SharedDomTest : public ::testing::Test {
 protected:
  // Polls until done() holds while the helper runs; false when the helper
  // ended first.
  template <class Done>
  static bool WhileRunning(HelperProcess& helper, Done done) {
    return WaitUntil([&] { return done() || !helper.Running(); }) && done();
  }

  std::string Path(const char* name = "store") const { return dir_.File(name); }
  // Brings the test's shared DOM up at Path().
  void Up() {
    session_.emplace(Path());
    root_ = session_->Root();
  }
  void TearDown() override {
    root_.reset();
    session_.reset();
  }

  TempDirectory dir_;
  std::optional<SharedDomSession> session_;
  Ref<IStorageSection> root_;
};

TEST_F(SharedDomTest, AValueWrittenInOneProcessIsReadInAnotherAtOnce) {
  Up();
  HelperProcess helper({"live", Path()});
  ASSERT_TRUE(helper.Started());

  ASSERT_TRUE(WhileRunning(helper, [&] { return !ReadKey(*root_, "Live", "FromHelper").empty(); }))
      << "helper ended with " << helper.Wait(kHelperLimit);
  EXPECT_EQ(ReadKey(*Ref<IStorageSection>(root_->OpenSection("Live")), "FromHelper"),
            std::string("written by the helper\0", 22));

  WriteInteger(*Ref<IStorageSection>(root_->CreateSection("Live")), "FromTest", 41);
  ASSERT_TRUE(WhileRunning(helper, [&] { return !ReadKey(*root_, "Live", "Echo").empty(); }))
      << "helper ended with " << helper.Wait(kHelperLimit);
  Ref<IStorageSection> live(root_->OpenSection("Live"));
  EXPECT_EQ(ReadInteger(*live, "Echo"), 42u);

  WriteInteger(*live, "Done", 1);
  EXPECT_EQ(helper.Wait(kHelperLimit), 0);
  EXPECT_EQ(Names(root_->EnumSections()), Strings{"Live"}) << "both processes made Live: one section";
  EXPECT_EQ(Names(live->EnumKeys()), (Strings{"FromHelper", "FromTest", "Echo", "Done"}));
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
  for (const char* name : {"Kept", "Gone", "Old"}) WriteInteger(*pins, name, 1);
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

TEST_F(SharedDomTest, WhatEveryProcessWroteIsThereAfterAllLeave) {
  const std::string hold = Path("hold");
  HelperProcess staying({"fill", Path(), "0", hold});
  ASSERT_TRUE(WhileRunning(staying, [&] { return std::filesystem::exists(hold + ".ready"); }))
      << "helper ended with " << staying.Wait(kHelperLimit);

  // This one leaves first, the other one last: its data must be kept too.
  HelperProcess leaving({"fill", Path(), "1"});
  EXPECT_EQ(leaving.Wait(kHelperLimit), 0);
  TouchFile(hold);
  EXPECT_EQ(staying.Wait(kHelperLimit), 0);

  Up();
  EXPECT_EQ(Names(root_->EnumSections()), (Strings{PartName(0), PartName(1)}));
  EXPECT_EQ(CheckSample(*root_, 0), "");
  EXPECT_EQ(CheckSample(*root_, 1), "");
}

TEST_F(SharedDomTest, TwoStoragePathsNeverMeet) {
  const std::string hold = Path("hold");
  HelperProcess other({"fill", Path("first"), "0", hold});
  ASSERT_TRUE(WhileRunning(other, [&] { return std::filesystem::exists(hold + ".ready"); }))
      << "helper ended with " << other.Wait(kHelperLimit);
  {
    SharedDomSession session(Path("second"));
    Ref<IStorageSection> root = session.Root();
    EXPECT_EQ(Names(root->EnumSections()), Strings{}) << "the live storage of another path shows here";
    EXPECT_EQ(Names(root->EnumKeys()), Strings{});
    WriteSample(*root, 1);
    TouchFile(hold);
    EXPECT_EQ(other.Wait(kHelperLimit), 0) << "the other storage changed while both were up";
  }
  for (int part = 0; part < 2; ++part) {
    SharedDomSession session(Path(part == 0 ? "first" : "second"));
    EXPECT_EQ(Names(session.Root()->EnumSections()), Strings{PartName(part)});
    EXPECT_EQ(CheckSample(*session.Root(), part), "");
  }
}

TEST_F(SharedDomTest, ConcurrentCreatesOfOneNameMakeOneChild) {
  Up();
  constexpr int kNames = 40;
  auto create_all = [&](uint32_t mark) {
    for (int i = 0; i < kNames; ++i) {
      const std::string name = "n" + std::to_string(i);
      WriteInteger(*root_, name.c_str(), mark);
      Ref<IStorageSection>(root_->CreateSection(name.c_str()));
    }
  };
  { std::jthread first(create_all, 1u), second(create_all, 2u); }

  Strings expected;
  for (int i = 0; i < kNames; ++i) expected.push_back("n" + std::to_string(i));
  EXPECT_EQ(std::multiset<std::string>(expected.begin(), expected.end()), Sorted(root_->EnumKeys()));
  EXPECT_EQ(std::multiset<std::string>(expected.begin(), expected.end()), Sorted(root_->EnumSections()));
  for (const std::string& name : expected) {
    const uint32_t value = ReadInteger(*root_, name.c_str());
    EXPECT_TRUE(value == 1u || value == 2u) << name << " holds " << value;
  }
}

// A locker waiting for the node lock pins the node; when the last handle
// lets go meanwhile, the locker's give-back frees the node, once. The lock
// is recursive and keeps other threads out until its last unlock.
TEST_F(SharedDomTest, ALockerPinsARemovedNodeUntilItUnlocks) {
  Up();
  std::optional<NodeRef> handle(session_->Nodes().newElement(session_->SectionKind()));
  const InitMemAddress node = handle->address();
  session_->LockNode(node);
  session_->LockNode(node);
  std::atomic<bool> entered{false};
  std::thread locker([&] {
    session_->LockNode(node);
    entered = true;
    session_->UnlockNode(node);
  });
  ASSERT_TRUE(WaitUntil([&] { return handle->traits()->referencesWord().load() == kNoReferences + 2; }));
  handle->mark();
  handle.reset();
  session_->UnlockNode(node);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered);
  EXPECT_TRUE(Blocks(session_->Nodes().pageManager()).contains(node.value()));
  session_->UnlockNode(node);
  locker.join();
  EXPECT_TRUE(entered);
  EXPECT_FALSE(Blocks(session_->Nodes().pageManager()).contains(node.value()));
}

TEST_F(SharedDomTest, ThreadsAndProcessesMakeOneAccessRecordPerNode) {
  Up();
  constexpr uint32_t kKeys = 2000;
  HelperProcess first({"access-race", Path(), std::to_string(kKeys), Path("first"), Path("go")});
  HelperProcess second({"access-race", Path(), std::to_string(kKeys), Path("second"), Path("go")});
  ASSERT_TRUE(WaitForFile(Path("first")) && WaitForFile(Path("second")));
  auto race = [&] {
    for (uint32_t i = 1; i <= kKeys; ++i) session_->Access().getTraits(InitMemAddress(3, 16 * i));
  };
  TouchFile(Path("go"));
  { std::jthread a(race), b(race); }
  ASSERT_EQ(first.Wait(), 0);
  ASSERT_EQ(second.Wait(), 0);

  // Each node once, with the two threads' and the two helpers' references.
  std::map<uint32_t, int> records;
  int miscounted = 0;
  storage::MemAccessController& access = session_->Access();
  for (InitMemAddress at(access.root().headWord().load()); !at.isNull();) {
    storage::AccessTraits& record = access.traits(at);
    if (InitMemAddress(record.keyWord().load()).hive() == 3) {
      ++records[record.keyWord().load()];
      if (record.referencesWord().load() != kNoReferences + 4) ++miscounted;
    }
    at = InitMemAddress(record.nextWord().load());
  }
  EXPECT_EQ(records.size(), kKeys);
  EXPECT_EQ(
      std::count_if(records.begin(), records.end(), [](const auto& entry) { return entry.second != 1; }), 0);
  EXPECT_EQ(miscounted, 0);
}

TEST_F(SharedDomTest, ANodeLockOfAKilledProcessIsTakenOver) {
  Up();
  const InitMemAddress node(3, 16 * 7);
  HelperProcess holder({"hold-node-lock", Path(), std::to_string(node.value()), Path("ready")});
  ASSERT_TRUE(WaitForFile(Path("ready")));
  storage::AccessTraits& record = session_->Access().traits(session_->Access().getTraits(node));
  EXPECT_NE(record.nodeLock.owner(), kNoReferences);

  holder.Kill();
  session_->LockNode(node);
  EXPECT_EQ(record.nodeLock.owner(), storage::platform::CurrentThreadId());
  session_->UnlockNode(node);
}

// Names and values share one string table, yet a name keeps the spelling
// it was first given as a name, whatever values or the storage's own words
// hold; values keep every byte, and equal values change independently.
TEST_F(SharedDomTest, NamesAndValuesShareTheTableYetKeepTheirOwnSpelling) {
  Up();
  WriteString(*root_, "Paint", "COLOUR");
  for (const char* name : {"colour", "Value", "SECTION"}) Ref<IStorageSection>(root_->CreateSection(name));
  EXPECT_EQ(Names(root_->EnumSections()), (Strings{"colour", "Value", "SECTION"}));
  // Binary values whose encoded texts differ only in letter case, and texts that do.
  Write(*root_, "Zeros", storage::TYPE_BINARY, std::string(3, '\0'));
  Write(*root_, "Swapped", storage::TYPE_BINARY, "\x69\xA6\x9A");
  for (const char* name : {"Lower", "Same"}) WriteString(*root_, name, "abc");
  WriteString(*root_, "Mixed", "AbC");
  WriteString(*root_, "Same", "other");
  EXPECT_EQ(ReadKey(*root_, "zeros"), std::string(3, '\0'));
  EXPECT_EQ(ReadKey(*root_, "swapped"), "\x69\xA6\x9A");
  EXPECT_EQ(ReadKey(*root_, "lower"), std::string("abc\0", 4));
  EXPECT_EQ(ReadKey(*root_, "MIXED"), std::string("AbC\0", 4));
}

TEST_F(SharedDomTest, ALongTextWhoseFileCannotBeWrittenFailsItsOperationAlone) {
  Up();
  WriteString(*root_, "Long", "short");
  // Long texts live in files beside the hives: with the storage directory
  // turned into a plain file, not even root can make one.
  const fs::path directory = Path(), away = Path() + ".away";
  fs::rename(directory, away);
  std::ofstream(directory).put('x');
  const std::string long_text(2000, 'x');
  int codes = 0;  // the two operations' error codes, each of them -3
  for (int i = 0; i < 2; ++i) {
    try {
      i == 0 ? WriteString(*root_, "Long", long_text)
             : Ref<IStorageKey>(root_->CreateKey(long_text.c_str())).reset();
    } catch (const storage::Exception& error) {
      codes = codes * 10 + error.GetErrorCode();
    }
  }
  fs::remove(directory);
  fs::rename(away, directory);
  EXPECT_EQ(codes, -33);
  EXPECT_EQ(ReadKey(*root_, "Long"), std::string("short", 6));
  WriteString(*root_, "Long", long_text);
  EXPECT_EQ(ReadKey(*root_, "Long"), long_text + '\0');
}

}  // namespace
}  // namespace settingstore::test
