// The shared string table behind every name and value, on a table of the
// test's own: long texts in files of their own, damaged chains, and
// processes that make, find and free each other's strings at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/Platform.h"
#include "reliability/CrashSweep.h"
#include "shareddom/SharedDomFixture.h"
#include "shareddom/StringHolderBase.h"
#include "shareddom/StringHolderFactory.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;

// A string table of the test's own, and other processes on it.
class StringTableTest : public ::testing::Test {
 protected:
  fs::path Sign(const std::string& name) const { return dir_.path() / name; }
  Strings Helper(const char* command) const { return {command, name_, dir_.File("strings")}; }
  size_t ExternalFiles() const { return EntriesWith(dir_.path(), "external_").size(); }
  storage::PageManager& Pages() { return table_->Pages(); }

  inline static std::atomic<int> counter_{0};
  TempDirectory dir_;
  std::string name_ = "Local\\sdstrings_" + std::to_string(storage::platform::CurrentProcessId()) + "_" +
                      std::to_string(counter_++) + "_";
  std::unique_ptr<storage::StringFactory> table_ = OpenStringTable(name_, dir_.File("strings"));
};

// The last save may still name a freed string's file, so the file stays
// until the storage is next loaded from its files.
TEST_F(StringTableTest, FreedLongTextsKeepTheirFilesUntilTheNextLoad) {
  const std::string kept_text(2000, 'k');
  int32_t kept_sid = 0;
  {
    const StringRef kept = NameString(kept_text);
    kept.AddRef();  // a reference of the stored tree, which outlives this handle
    kept_sid = kept.GetSID();
    EXPECT_EQ(NameString(std::string(2000, 'K')).GetSID(), kept_sid);
    const StringRef freed = NameString(std::string(3000, 'f'));
  }
  EXPECT_EQ(ExternalFiles(), 2u);
  table_.reset();
  table_ = OpenStringTable(name_, dir_.File("strings"));
  EXPECT_EQ(ExternalFiles(), 1u);
  EXPECT_EQ(TextOf(kept_sid), kept_text);
}

// Freed texts keep their files until the next load, so the names around
// the clock may all be taken; a new long text still finds a name.
TEST_F(StringTableTest, ALongTextFindsAFileNameWhenThoseAroundTheClockAreTaken) {
  const auto now = static_cast<uint32_t>(storage::platform::TickCountMs());
  for (uint32_t name = now - 100; name != now + 3000; ++name) {
    char file[64];
    std::snprintf(file, sizeof file, "external_%x.dm2", name);
    std::ofstream(dir_.path() / file).flush();
  }
  EXPECT_TRUE(NameString(std::string(1100, 'n')).IsValid());
  EXPECT_EQ(ExternalFiles(), 3101u);
}

// A chain that links outside the hives: while the string lives, that is
// damage (-13 for the operation, and the storage stays usable); once its SID
// is gone, it is what a reader meets when another process frees the string
// under it, and the read just finds no text.
TEST_F(StringTableTest, AChainLinkingOutsideTheHivesIsDamageUnlessTheStringIsGone) {
  const StringRef text = NameString(std::string(100, 'm'));
  storage::PageManager* pages = &Pages();
  storage::StringHolderFactory holders(*table_, &pages);
  const InitMemAddress head = FindHead(*pages, text.GetSID());
  const uint32_t link = WordAt(*pages, head, storage::StringHolderBase::kNextOffset).exchange(0x0C000010u);
  EXPECT_THROW(holders.CreateFromBlock(head, 44)->Text(), storage::InternalStructureException);

  const auto reader = holders.CreateFromBlock(head, 44);
  WordAt(*pages, head, storage::StringHolderBase::kSidOffset).store(text.GetSID() + 1);  // freed and reused
  EXPECT_EQ(reader->Text(), nullptr);
  WordAt(*pages, head, storage::StringHolderBase::kSidOffset).store(text.GetSID());
  WordAt(*pages, head, storage::StringHolderBase::kNextOffset).store(link);  // so that it can be freed
}

// Four processes of two threads ask for the same texts in random letter case
// at once: each text gets one SID, the same everywhere; once every handle is
// gone, every string is freed.
TEST_F(StringTableTest, ManyProcessesAgreeOnOneSidPerText) {
  constexpr int kTexts = 2000, kProcesses = 4;
  const size_t blocks = Walk(Pages(), false).size();
  std::vector<std::unique_ptr<HelperProcess>> helpers;
  for (int p = 0; p < kProcesses; ++p) {
    Strings arguments = Helper("string-hammer");
    arguments.insert(arguments.end(), {std::to_string(p + 1), std::to_string(kTexts), Sign("go").string(),
                                       Sign("out" + std::to_string(p)).string(), Sign("release").string()});
    helpers.push_back(std::make_unique<HelperProcess>(arguments));
    ASSERT_TRUE(helpers.back()->Started());
  }
  TouchFile(Sign("go"));

  std::vector<std::vector<int32_t>> results(kProcesses);
  for (int p = 0; p < kProcesses; ++p) {
    ASSERT_TRUE(WaitForFile(Sign("out" + std::to_string(p)))) << "process " << p << " gave no result";
    std::ifstream in(Sign("out" + std::to_string(p)));
    for (int32_t sid; in >> sid;) results[p].push_back(sid);
    ASSERT_EQ(results[p].size(), static_cast<size_t>(kTexts));
    EXPECT_EQ(results[p], results[0]) << "process " << p;
  }
  EXPECT_EQ(std::set<int32_t>(results[0].begin(), results[0].end()).size(), static_cast<size_t>(kTexts));
  EXPECT_EQ(WordAt(Pages(), FindHead(Pages(), 0), 8).load(), uint32_t(kTexts)) << "SIDs were issued and lost";
  for (int i = 0; i < kTexts; ++i) EXPECT_EQ(NameString("TEXT-" + std::to_string(i)).GetSID(), results[0][i]);

  TouchFile(Sign("release"));
  for (int p = 0; p < kProcesses; ++p) EXPECT_EQ(helpers[p]->Wait(), 0) << "process " << p;
  EXPECT_EQ(Walk(Pages(), false).size(), blocks);
  EXPECT_EQ(TextOf(results[0][0]), "<gone>");
}

TEST_F(StringTableTest, AKilledRootHolderDoesNotBlockTheOthers) {
  Strings arguments = Helper("string-hold-root");
  arguments.push_back(Sign("held").string());
  HelperProcess helper(arguments);
  ASSERT_TRUE(WaitForFile(Sign("held")));
  EXPECT_NE(RootLock(Pages()).Owner(), storage::owner::OwnerLock::kFreeValue);
  helper.Kill();

  EXPECT_EQ(NameString("After the kill").GetSID(), 1);
  EXPECT_EQ(RootLock(Pages()).Owner(), storage::owner::OwnerLock::kFreeValue);
}

// Another process stores a text and holds it until the test lets it go.
struct HeldText {
  HeldText(Strings arguments, const char* text, const fs::path& dir) : out(dir / text) {
    arguments.insert(arguments.end(), {text, out.string(), out.string() + ".release"});
    helper = std::make_unique<HelperProcess>(arguments);
    if (WaitForFile(out)) std::ifstream(out) >> sid >> hive;
  }
  int LetGo() {
    TouchFile(out.string() + ".release");
    return helper->Wait();
  }
  fs::path out;
  std::unique_ptr<HelperProcess> helper;
  int32_t sid = 0, hive = 0;  // the text's SID and the hive of its head block
};

// A rescan looks only at blocks carved since the last one while a hive can
// still carve; once it cannot, a new string may lie in a block freed before
// that scan, and the hive is walked whole.
TEST_F(StringTableTest, FindsAStringThatAnotherProcessStoredInAFreedBlockOfAFullHive) {
  StringRef victim = NameString("Victim");
  HeldText first(Helper("string-hold"), "First", dir_.path());
  ASSERT_GT(first.sid, 0);
  EXPECT_EQ(NameString("FIRST").GetSID(), first.sid);  // a rescan, which leaves its marks

  const std::vector<InitMemAddress> fillers = FillFirstHive(Pages());
  victim = StringRef();  // its head block, met by that rescan, is free now
  HeldText second(Helper("string-hold"), "Second", dir_.path());
  EXPECT_EQ(second.hive, 1) << "the head should have reused the freed block";
  EXPECT_EQ(NameString("SECOND").GetSID(), second.sid);
  EXPECT_EQ(TextOf(second.sid), "Second");
  EXPECT_EQ(first.LetGo(), 0);
  EXPECT_EQ(second.LetGo(), 0);
  for (const InitMemAddress& filler : fillers) Pages().Release(filler);
}

// A string that another process made is looked for first where that process
// said it put it; once that block holds another string, the SID is gone and
// the other string answers only to its own.
TEST_F(StringTableTest, ASidWhoseBlockNowHoldsAnotherStringIsGone) {
  HeldText first(Helper("string-hold"), "Old text", dir_.path());
  ASSERT_GT(first.sid, 0);
  const std::vector<InitMemAddress> fillers = FillFirstHive(Pages());
  EXPECT_EQ(first.LetGo(), 0);  // its blocks are the only free ones of their sizes now

  HeldText second(Helper("string-hold"), "New text", dir_.path());
  EXPECT_EQ(second.hive, 1) << "the head should have reused the freed block";
  EXPECT_EQ(TextOf(first.sid), "<gone>");
  EXPECT_EQ(TextOf(second.sid), "New text");
  EXPECT_EQ(second.LetGo(), 0);
  for (const InitMemAddress& filler : fillers) Pages().Release(filler);
}

}  // namespace
}  // namespace settingstore::test
