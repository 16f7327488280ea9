// Several processes on shared DOMs: what one writes another sees at once,
// what they all wrote is there after the last one leaves, and two storage
// paths never meet. Each helper process is a host of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "SharedDOM/SampleTree.h"
#include "SharedDOM/SharedDomTestSupport.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

using Strings = std::vector<std::string>;
namespace fs = std::filesystem;

constexpr auto kHelperLimit = std::chrono::seconds(30);

class ProcessesTest : public ::testing::Test {
 protected:
  // Polls until done() holds while the helper runs; false when the helper
  // ended or the limit ran out first.
  static bool WhileRunning(HelperProcess& helper, const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + kHelperLimit;
    while (!done()) {
      if (!helper.Running() || std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
  }

  static bool Exists(const std::string& file) { return fs::exists(file); }
  static void Touch(const std::string& file) { std::ofstream(file).close(); }

  std::string Storage(const char* name) const { return dir_.File(name); }

  TempDirectory dir_;
};

TEST_F(ProcessesTest, AValueWrittenInOneProcessIsReadInAnotherAtOnce) {
  HostInitializer init(Storage("live"));
  SharedDomSession session(init);
  Ref<IStorageSection> root = session.Root();
  HelperProcess helper({"live", Storage("live")});
  ASSERT_TRUE(helper.Started());

  Ref<IStorageKey> from_helper;
  ASSERT_TRUE(WhileRunning(
      helper,
      [&] { return bool(from_helper = FindValue(*root, "Live", "FromHelper", storage::TYPE_STRING)); }))
      << "helper ended with " << helper.Wait(kHelperLimit);
  EXPECT_EQ(ReadBytes(*from_helper), std::string("written by the helper\0", 22));

  WriteInteger(*Ref<IStorageKey>(Ref<IStorageSection>(root->CreateSection("Live"))->CreateKey("FromTest")),
               41);
  Ref<IStorageKey> echo;
  ASSERT_TRUE(WhileRunning(
      helper, [&] { return bool(echo = FindValue(*root, "Live", "Echo", storage::TYPE_INTEGER)); }))
      << "helper ended with " << helper.Wait(kHelperLimit);
  EXPECT_EQ(ReadInteger(*echo), 42u);

  WriteInteger(*Ref<IStorageKey>(Ref<IStorageSection>(root->OpenSection("Live"))->CreateKey("Done")), 1);
  EXPECT_EQ(helper.Wait(kHelperLimit), 0);
  EXPECT_EQ(Names(root->EnumSections()), Strings{"Live"}) << "both processes made Live: one section";
  EXPECT_EQ(Names(Ref<IStorageSection>(root->OpenSection("Live"))->EnumKeys()),
            (Strings{"FromHelper", "FromTest", "Echo", "Done"}));
}

// A process remembers where it found keys and sections; what another process
// deleted or made anew in their place must still be what it finds.
TEST_F(ProcessesTest, KeysAndSectionsReplacedInAnotherProcessAreFoundAnew) {
  HostInitializer init(Storage("replaced"));
  SharedDomSession session(init);
  Ref<IStorageSection> root = session.Root();
  Ref<IStorageSection> index(root->CreateSection("Index"));
  WriteString(*Ref<IStorageKey>(index->CreateKey("Kept")), "first");
  WriteString(*Ref<IStorageKey>(index->CreateKey("Gone")), "doomed");
  WriteString(*Ref<IStorageKey>(Ref<IStorageSection>(index->CreateSection("Inner"))->CreateKey("Old")),
              "old");
  // The same names elsewhere keep their strings, so the look-ups after the
  // helper's changes ask for the very names that were found before.
  Ref<IStorageSection> pins(root->CreateSection("Pins/Inner"));
  for (const char* name : {"Kept", "Gone", "Old"}) WriteInteger(*Ref<IStorageKey>(pins->CreateKey(name)), 1);
  // Found once, so that the next look-ups may come from what was found.
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(ReadBytes(*Ref<IStorageKey>(index->OpenKey("Kept"))), std::string("first\0", 6));
    EXPECT_EQ(ReadBytes(*Ref<IStorageKey>(index->OpenKey("Gone"))), std::string("doomed\0", 7));
    EXPECT_EQ(
        ReadBytes(*Ref<IStorageKey>(Ref<IStorageSection>(root->OpenSection("Index/Inner"))->OpenKey("Old"))),
        std::string("old\0", 4));
  }

  HelperProcess helper({"replace", Storage("replaced")});
  ASSERT_EQ(helper.Wait(kHelperLimit), 0);

  EXPECT_EQ(ReadBytes(*Ref<IStorageKey>(index->OpenKey("Kept"))), std::string("second\0", 7));
  EXPECT_EQ(ReadBytes(*Ref<IStorageKey>(index->CreateKey("Kept"))), std::string("second\0", 7));
  EXPECT_THROW(Ref<IStorageKey>(index->OpenKey("Gone")), storage::OpenException);
  Ref<IStorageSection> inner(root->OpenSection("Index/Inner"));
  EXPECT_THROW(Ref<IStorageKey>(inner->OpenKey("Old")), storage::OpenException);
  EXPECT_EQ(ReadBytes(*Ref<IStorageKey>(inner->OpenKey("Fresh"))), std::string("new\0", 4));
}

TEST_F(ProcessesTest, WhatEveryProcessWroteIsThereAfterAllLeave) {
  const std::string storage = Storage("kept");
  const std::string hold = dir_.File("hold");
  HelperProcess staying({"fill", storage, "0", hold});
  ASSERT_TRUE(staying.Started());
  ASSERT_TRUE(WhileRunning(staying, [&] { return Exists(hold + ".ready"); }))
      << "helper ended with " << staying.Wait(kHelperLimit);

  // This one leaves first, the other one last: its data must be kept too.
  HelperProcess leaving({"fill", storage, "1"});
  EXPECT_EQ(leaving.Wait(kHelperLimit), 0);
  Touch(hold);
  EXPECT_EQ(staying.Wait(kHelperLimit), 0);

  EXPECT_TRUE(fs::exists(fs::path(storage) / ".storage000d.dm2"));
  EXPECT_TRUE(fs::exists(fs::path(storage) / ".storageMap000d.dm2"));
  HostInitializer init(storage);
  SharedDomSession session(init);
  Ref<IStorageSection> root = session.Root();
  EXPECT_EQ(Names(root->EnumSections()), (Strings{SamplePartName(0), SamplePartName(1)}));
  EXPECT_EQ(CheckSample(*root, 0), "");
  EXPECT_EQ(CheckSample(*root, 1), "");
}

TEST_F(ProcessesTest, TwoStoragePathsNeverMeet) {
  const std::string hold = dir_.File("hold");
  HelperProcess other({"fill", Storage("first"), "0", hold});
  ASSERT_TRUE(other.Started());
  ASSERT_TRUE(WhileRunning(other, [&] { return Exists(hold + ".ready"); }))
      << "helper ended with " << other.Wait(kHelperLimit);

  {
    HostInitializer init(Storage("second"));
    SharedDomSession session(init);
    Ref<IStorageSection> root = session.Root();
    EXPECT_EQ(Names(root->EnumSections()), Strings{}) << "the live storage of another path shows here";
    EXPECT_EQ(Names(root->EnumKeys()), Strings{});
    WriteSample(*root, 1);
    Touch(hold);
    EXPECT_EQ(other.Wait(kHelperLimit), 0) << "the other storage changed while both were up";
  }

  HelperProcess check_first({"check", Storage("first"), "0"});
  EXPECT_EQ(check_first.Wait(kHelperLimit), 0);
  HelperProcess check_second({"check", Storage("second"), "1"});
  EXPECT_EQ(check_second.Wait(kHelperLimit), 0);
}

}  // namespace
}  // namespace settingstore::test
