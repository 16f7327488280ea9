// Several processes on shared DOMs: what one writes another sees at once,
// what they all wrote is there after the last one leaves, and two storage
// paths never meet. Each helper process is a host of its own.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "shareddom/SharedDomFixture.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

constexpr auto kHelperLimit = std::chrono::seconds(30);

class ProcessesTest : public ::testing::Test {
 protected:
  // Polls until done() holds while the helper runs; false when the helper
  // ended first.
  template <class Done>
  static bool WhileRunning(HelperProcess& helper, Done done) {
    return WaitUntil([&] { return done() || !helper.Running(); }) && done();
  }

  std::string Storage(const char* name) const { return dir_.File(name); }

  TempDirectory dir_;
};

TEST_F(ProcessesTest, AValueWrittenInOneProcessIsReadInAnotherAtOnce) {
  SharedDomSession session(Storage("live"));
  Ref<IStorageSection> root = session.Root();
  HelperProcess helper({"live", Storage("live")});
  ASSERT_TRUE(helper.Started());

  ASSERT_TRUE(WhileRunning(helper, [&] { return !ReadKey(*root, "Live", "FromHelper").empty(); }))
      << "helper ended with " << helper.Wait(kHelperLimit);
  EXPECT_EQ(ReadKey(*Ref<IStorageSection>(root->OpenSection("Live")), "FromHelper"),
            std::string("written by the helper\0", 22));

  WriteInteger(*Ref<IStorageSection>(root->CreateSection("Live")), "FromTest", 41);
  ASSERT_TRUE(WhileRunning(helper, [&] { return !ReadKey(*root, "Live", "Echo").empty(); }))
      << "helper ended with " << helper.Wait(kHelperLimit);
  Ref<IStorageSection> live(root->OpenSection("Live"));
  EXPECT_EQ(ReadInteger(*live, "Echo"), 42u);

  WriteInteger(*live, "Done", 1);
  EXPECT_EQ(helper.Wait(kHelperLimit), 0);
  EXPECT_EQ(Names(root->EnumSections()), Strings{"Live"}) << "both processes made Live: one section";
  EXPECT_EQ(Names(live->EnumKeys()), (Strings{"FromHelper", "FromTest", "Echo", "Done"}));
}

// A process remembers where it found keys and sections; what another process
// deleted or made anew in their place must still be what it finds.
TEST_F(ProcessesTest, KeysAndSectionsReplacedInAnotherProcessAreFoundAnew) {
  SharedDomSession session(Storage("replaced"));
  Ref<IStorageSection> root = session.Root();
  Ref<IStorageSection> index(root->CreateSection("Index"));
  WriteString(*index, "Kept", "first");
  WriteString(*index, "Gone", "doomed");
  WriteString(*Ref<IStorageSection>(index->CreateSection("Inner")), "Old", "old");
  // The same names elsewhere keep their strings, so the look-ups after the
  // helper's changes ask for the very names that were found before.
  Ref<IStorageSection> pins(root->CreateSection("Pins/Inner"));
  for (const char* name : {"Kept", "Gone", "Old"}) WriteInteger(*pins, name, 1);
  // Found once, so that the next look-ups may come from what was found.
  for (int pass = 0; pass < 2; ++pass) {
    EXPECT_EQ(ReadKey(*index, "Kept"), std::string("first\0", 6));
    EXPECT_EQ(ReadKey(*index, "Gone"), std::string("doomed\0", 7));
    EXPECT_EQ(ReadKey(*Ref<IStorageSection>(root->OpenSection("Index/Inner")), "Old"),
              std::string("old\0", 4));
  }

  HelperProcess helper({"replace", Storage("replaced")});
  ASSERT_EQ(helper.Wait(kHelperLimit), 0);

  EXPECT_EQ(ReadKey(*index, "Kept"), std::string("second\0", 7));
  EXPECT_EQ(ReadBytes(*Ref<IStorageKey>(index->CreateKey("Kept"))), std::string("second\0", 7));
  EXPECT_THROW(Ref<IStorageKey>(index->OpenKey("Gone")), storage::OpenException);
  Ref<IStorageSection> inner(root->OpenSection("\\index//INNER"));
  EXPECT_THROW(Ref<IStorageKey>(inner->OpenKey("Old")), storage::OpenException);
  EXPECT_EQ(ReadKey(*inner, "Fresh"), std::string("new\0", 4));
}

TEST_F(ProcessesTest, WhatEveryProcessWroteIsThereAfterAllLeave) {
  const std::string storage = Storage("kept");
  const std::string hold = dir_.File("hold");
  HelperProcess staying({"fill", storage, "0", hold});
  ASSERT_TRUE(WhileRunning(staying, [&] { return std::filesystem::exists(hold + ".ready"); }))
      << "helper ended with " << staying.Wait(kHelperLimit);

  // This one leaves first, the other one last: its data must be kept too.
  HelperProcess leaving({"fill", storage, "1"});
  EXPECT_EQ(leaving.Wait(kHelperLimit), 0);
  TouchFile(hold);
  EXPECT_EQ(staying.Wait(kHelperLimit), 0);

  SharedDomSession session(storage);
  Ref<IStorageSection> root = session.Root();
  EXPECT_EQ(Names(root->EnumSections()), (Strings{PartName(0), PartName(1)}));
  EXPECT_EQ(CheckSample(*root, 0), "");
  EXPECT_EQ(CheckSample(*root, 1), "");
}

TEST_F(ProcessesTest, TwoStoragePathsNeverMeet) {
  const std::string hold = dir_.File("hold");
  HelperProcess other({"fill", Storage("first"), "0", hold});
  ASSERT_TRUE(WhileRunning(other, [&] { return std::filesystem::exists(hold + ".ready"); }))
      << "helper ended with " << other.Wait(kHelperLimit);
  {
    SharedDomSession session(Storage("second"));
    Ref<IStorageSection> root = session.Root();
    EXPECT_EQ(Names(root->EnumSections()), Strings{}) << "the live storage of another path shows here";
    EXPECT_EQ(Names(root->EnumKeys()), Strings{});
    WriteSample(*root, 1);
    TouchFile(hold);
    EXPECT_EQ(other.Wait(kHelperLimit), 0) << "the other storage changed while both were up";
  }
  for (int part = 0; part < 2; ++part) {
    SharedDomSession session(Storage(part == 0 ? "first" : "second"));
    EXPECT_EQ(Names(session.Root()->EnumSections()), Strings{PartName(part)});
    EXPECT_EQ(CheckSample(*session.Root(), part), "");
  }
}

}  // namespace
}  // namespace settingstore::test
