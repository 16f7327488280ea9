#include "shareddom/StringFactory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "SharedStorage/helper/StringFactorySupport.h"
#include "platform/Platform.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

using storage::InitMemAddress;
using storage::StringAutoRelease;
using storage::StringFactory;

class StringFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    const std::string id =
        std::to_string(storage::platform::CurrentProcessId()) + "_" + std::to_string(counter++);
    name_ = "Local\\sftest_" + id + "_";
    factory_ = std::make_unique<StringFactory>(name_.c_str(), FilePath().c_str());
  }

  std::string FilePath() const { return (directory_.path() / "strings").string(); }
  std::filesystem::path Sign(const char* name) const { return directory_.path() / name; }
  StringFactory& Factory() { return *factory_; }
  uint32_t Counter() { return SidCounter(*factory_).load(); }
  size_t StringBlockCount() { return StringBlocks(factory_->pageManager()).size(); }
  std::vector<std::string> HelperArguments(const char* command) const { return {command, name_, FilePath()}; }
  size_t ExternalFileCount() const {
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory_.path())) {
      files += entry.path().filename().string().starts_with("external_") ? 1 : 0;
    }
    return files;
  }

  std::string name_;
  TempDirectory directory_;
  std::unique_ptr<StringFactory> factory_;
};

std::optional<std::string> LogicErrorOf(const std::function<void()>& call) {
  try {
    call();
  } catch (const std::logic_error& error) {
    return std::string(error.what());
  }
  return std::nullopt;
}

bool Asserts(const std::function<void()>& call) {
  try {
    call();
  } catch (const storage::AssertException&) {
    return true;
  }
  return false;
}

std::vector<int32_t> ReadSids(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<int32_t> sids;
  for (int32_t sid; in >> sid;) sids.push_back(sid);
  return sids;
}

TEST_F(StringFactoryTest, NamesGetSidsFromOneAndIgnoreCase) {
  const StringAutoRelease width = factory_->GetSID("Width");
  const StringAutoRelease height = factory_->GetSID("Height");
  EXPECT_EQ(width.GetSID(), 1);
  EXPECT_EQ(height.GetSID(), 2);

  const StringAutoRelease again = factory_->GetSID("WIDTH");
  EXPECT_EQ(again.GetSID(), 1);
  EXPECT_STREQ(again.GetString(), "Width");
  EXPECT_EQ(Counter(), 2u);

  const StringAutoRelease empty = factory_->GetSID("");
  EXPECT_EQ(empty.GetSID(), 3);
  EXPECT_STREQ(factory_->GetString(3).GetString(), "");
}

TEST_F(StringFactoryTest, PeekFindsButNeverCreates) {
  const StringAutoRelease absent = factory_->PeekSID("Absent");
  EXPECT_FALSE(absent.IsValid());
  EXPECT_EQ(absent.GetSID(), -1);
  EXPECT_EQ(absent.GetString(), nullptr);
  EXPECT_FALSE(factory_->PeekExactSID("Absent").IsValid());
  EXPECT_EQ(Counter(), 0u);
  EXPECT_EQ(StringBlockCount(), 0u);

  const StringAutoRelease present = factory_->GetSID("Present");
  EXPECT_EQ(present.GetSID(), 1);
  EXPECT_EQ(factory_->PeekSID("PRESENT").GetSID(), 1);
  EXPECT_EQ(factory_->PeekExactSID("Present").GetSID(), 1);
  EXPECT_FALSE(factory_->PeekExactSID("PRESENT").IsValid());
  EXPECT_EQ(Counter(), 1u);
}

TEST_F(StringFactoryTest, LastReleaseFreesTheStringAndANewSidFollows) {
  int32_t sid;
  {
    const StringAutoRelease first = factory_->GetSID("Temporary");
    sid = first.GetSID();
    const StringAutoRelease copy = first;
    const StringAutoRelease bySid = factory_->GetString(sid);
    EXPECT_STREQ(bySid.GetString(), "Temporary");
    EXPECT_GT(StringBlockCount(), 0u);
  }
  EXPECT_FALSE(factory_->GetString(sid).IsValid());
  EXPECT_EQ(StringBlockCount(), 0u);

  StringAutoRelease recreated = factory_->GetSID("temporary");
  EXPECT_EQ(recreated.GetSID(), sid + 1);
  EXPECT_STREQ(recreated.GetString(), "temporary");

  // A reference added on the caller's behalf outlives the handle.
  recreated.AddRef();
  const int32_t kept = recreated.GetSID();
  storage::IStringHolder* holder = recreated.GetHolder();
  { const StringAutoRelease moved = std::move(recreated); }
  EXPECT_TRUE(factory_->GetString(kept).IsValid());
  holder->Release();
  EXPECT_FALSE(factory_->GetString(kept).IsValid());
}

TEST_F(StringFactoryTest, RefusesMissingTextsAndNonPositiveSids) {
  EXPECT_TRUE(Asserts([this] { factory_->GetString(0); }));
  EXPECT_TRUE(Asserts([this] { factory_->GetString(-1); }));
  EXPECT_TRUE(Asserts([this] { factory_->GetSID(nullptr); }));
  EXPECT_TRUE(Asserts([this] { factory_->PeekExactSID(nullptr); }));
  EXPECT_FALSE(factory_->GetString(12345).IsValid());
}

TEST_F(StringFactoryTest, IssuesSidsUpToTheLimitOnly) {
  SidCounter(Factory()).store(2147483638u);
  const StringAutoRelease last = factory_->GetSID("Last");
  EXPECT_EQ(last.GetSID(), StringFactory::kMaxSID);
  EXPECT_EQ(last.GetSID(), 2147483639);

  const size_t blocks = StringBlockCount();
  EXPECT_EQ(LogicErrorOf([this] { factory_->GetSID("One more"); }), "StringFactory:: not enoght free SID");
  EXPECT_EQ(LogicErrorOf([this] { factory_->GetExactSID("LAST"); }), "StringFactory:: not enoght free SID");
  EXPECT_EQ(StringBlockCount(), blocks);
  EXPECT_EQ(Counter(), 2147483639u);
  // Known texts are still found.
  EXPECT_EQ(factory_->GetSID("LAST").GetSID(), 2147483639);
}

TEST_F(StringFactoryTest, ExactValuesLiveBesideCaseInsensitiveNames) {
  StringAutoRelease upper = factory_->GetExactSID("QUJD");
  const StringAutoRelease lower = factory_->GetExactSID("qujd");
  ASSERT_TRUE(upper.IsValid());
  ASSERT_TRUE(lower.IsValid());
  EXPECT_NE(upper.GetSID(), lower.GetSID());
  EXPECT_STREQ(upper.GetString(), "QUJD");
  EXPECT_STREQ(lower.GetString(), "qujd");
  EXPECT_EQ(factory_->GetExactSID("QUJD").GetSID(), upper.GetSID());
  // A name resolves to the first stored spelling.
  EXPECT_EQ(factory_->GetSID("qUjD").GetSID(), upper.GetSID());

  // A name stored first keeps answering for itself and for its exact value.
  const StringAutoRelease name = factory_->GetSID("Color");
  const StringAutoRelease value = factory_->GetExactSID("COLOR");
  EXPECT_NE(value.GetSID(), name.GetSID());
  EXPECT_EQ(factory_->GetSID("color").GetSID(), name.GetSID());
  EXPECT_EQ(factory_->GetExactSID("Color").GetSID(), name.GetSID());

  // The first spelling gone, names resolve to the one that is left.
  const int32_t upperSid = upper.GetSID();
  { const StringAutoRelease gone = std::move(upper); }
  EXPECT_FALSE(factory_->GetString(upperSid).IsValid());
  EXPECT_EQ(factory_->GetSID("QUJD").GetSID(), lower.GetSID());
}

TEST_F(StringFactoryTest, ExactValuesAreFoundAlikeInAnotherProcess) {
  const StringAutoRelease upper = factory_->GetExactSID("QUJD");
  const StringAutoRelease lower = factory_->GetExactSID("qujd");
  std::vector<std::string> arguments = HelperArguments("string-factory-exact");
  arguments.push_back(std::to_string(upper.GetSID()));
  arguments.push_back(std::to_string(lower.GetSID()));
  HelperProcess helper(arguments);
  ASSERT_TRUE(helper.Started());
  EXPECT_EQ(helper.Wait(), kSfDone);
  EXPECT_EQ(Counter(), 2u);
}

TEST_F(StringFactoryTest, AFactoryWithoutANameIsRefused) {
  EXPECT_TRUE(Asserts([] { StringFactory missing(nullptr, nullptr); }));
  EXPECT_EQ(factory_->GetSID("Still working").GetSID(), 1);
}

TEST_F(StringFactoryTest, ExternalStringsLiveInTheStorageDirectory) {
  EXPECT_EQ(Factory().externalDirectory(), directory_.path().string() + "/");
  const std::string longText(2000, 'x');
  const StringAutoRelease stored = factory_->GetSID(longText.c_str());
  EXPECT_EQ(factory_->GetSID(std::string(2000, 'X').c_str()).GetSID(), stored.GetSID());
  EXPECT_EQ(factory_->GetString(stored.GetSID()).GetString(), longText);
  EXPECT_EQ(ExternalFileCount(), 1u);
}

// The last save may still name a freed string's file, so the file stays
// until the storage is next loaded from its files.
TEST_F(StringFactoryTest, FreedExternalFilesGoWhenTheStorageIsNextLoaded) {
  const std::string keptText(2000, 'k');
  int32_t keptSid = 0;
  {
    const StringAutoRelease kept = factory_->GetSID(keptText.c_str());
    kept.AddRef();  // a reference of the stored tree, which outlives this handle
    keptSid = kept.GetSID();
    const StringAutoRelease freed = factory_->GetSID(std::string(3000, 'f').c_str());
  }
  EXPECT_EQ(ExternalFileCount(), 2u);

  factory_.reset();
  factory_ = std::make_unique<StringFactory>(name_.c_str(), FilePath().c_str());
  EXPECT_EQ(ExternalFileCount(), 1u);
  EXPECT_EQ(factory_->GetString(keptSid).GetString(), keptText);
}

// Freed texts keep their files until the next load, so the names around
// the clock may all be taken; a new long text still finds a name.
TEST_F(StringFactoryTest, ALongTextFindsAFileNameWhenThoseAroundTheClockAreTaken) {
  const auto now = static_cast<uint32_t>(storage::platform::TickCountMs());
  for (uint32_t name = now - 100; name != now + 3000; ++name) {
    char file[64];
    std::snprintf(file, sizeof file, "external_%x.dm2", name);
    std::ofstream(directory_.path() / file).flush();
  }
  EXPECT_TRUE(factory_->GetSID(std::string(1100, 'n').c_str()).IsValid());
  EXPECT_EQ(ExternalFileCount(), 3101u);
}

TEST_F(StringFactoryTest, APathWithoutDirectoryKeepsExternalStringsInTheCurrentOne) {
  factory_.reset();
  const std::filesystem::path previous = std::filesystem::current_path();
  std::filesystem::current_path(directory_.path());
  {
    StringFactory local((name_ + "cwd").c_str(), "strings");
    EXPECT_EQ(local.externalDirectory(), "./");
    const StringAutoRelease stored = local.GetSID(std::string(1500, 'y').c_str());
    EXPECT_TRUE(stored.IsValid());
    EXPECT_EQ(ExternalFileCount(), 1u);
  }
  std::filesystem::current_path(previous);
}

// Four processes of two threads ask for the same texts in random letter case
// at once: each text gets one SID, the same everywhere; once every handle is
// gone, every string is freed and its blocks serve new strings.
TEST_F(StringFactoryTest, ManyProcessesAgreeOnOneSidPerText) {
  constexpr int kTexts = 2000;
  constexpr int kProcesses = 4;
  std::vector<std::unique_ptr<HelperProcess>> helpers;
  for (int p = 0; p < kProcesses; ++p) {
    std::vector<std::string> arguments = HelperArguments("string-factory-hammer");
    arguments.insert(arguments.end(),
                     {std::to_string(p + 1), std::to_string(kTexts), Sign("go").string(),
                      Sign(("out" + std::to_string(p)).c_str()).string(), Sign("release").string()});
    helpers.push_back(std::make_unique<HelperProcess>(arguments));
    ASSERT_TRUE(helpers.back()->Started());
  }
  TouchFile(Sign("go"));

  std::vector<std::vector<int32_t>> results;
  for (int p = 0; p < kProcesses; ++p) {
    const std::filesystem::path out = Sign(("out" + std::to_string(p)).c_str());
    ASSERT_TRUE(WaitForSign(out)) << "process " << p << " gave no result";
    results.push_back(ReadSids(out));
    ASSERT_EQ(results.back().size(), static_cast<size_t>(kTexts));
  }
  for (int p = 1; p < kProcesses; ++p) EXPECT_EQ(results[p], results[0]) << "process " << p;
  EXPECT_EQ(std::set<int32_t>(results[0].begin(), results[0].end()).size(), static_cast<size_t>(kTexts));
  EXPECT_EQ(Counter(), static_cast<uint32_t>(kTexts));

  std::set<uint32_t> usedAddresses;
  for (int i = 0; i < kTexts; ++i) {
    const StringAutoRelease text = factory_->GetString(results[0][i]);
    ASSERT_TRUE(text.IsValid());
    EXPECT_EQ(std::string(text.GetString()).size(), SharedText(i).size());
    EXPECT_EQ(factory_->PeekSID(SharedText(i).c_str()).GetSID(), results[0][i]);
  }
  for (const Block& block : StringBlocks(Factory().pageManager()))
    usedAddresses.insert(block.address.value());

  TouchFile(Sign("release"));
  for (int p = 0; p < kProcesses; ++p) EXPECT_EQ(helpers[p]->Wait(), kSfDone) << "process " << p;
  EXPECT_EQ(StringBlockCount(), 0u);
  EXPECT_FALSE(factory_->GetString(results[0][0]).IsValid());

  FillFirstHive(Factory().pageManager());
  std::vector<StringAutoRelease> reused;
  for (int i = 0; i < 20; ++i) {
    reused.push_back(factory_->GetSID(("Again-" + std::to_string(i)).c_str()));
    const InitMemAddress head = FindHead(Factory().pageManager(), reused.back().GetSID());
    EXPECT_TRUE(usedAddresses.contains(head.value())) << "string " << i << " did not reuse a freed block";
  }
}

TEST_F(StringFactoryTest, AKilledRootHolderDoesNotBlockTheOthers) {
  std::vector<std::string> arguments = HelperArguments("string-factory-hold-root");
  arguments.push_back(Sign("held").string());
  HelperProcess helper(arguments);
  ASSERT_TRUE(helper.Started());
  ASSERT_TRUE(WaitForSign(Sign("held")));
  EXPECT_NE(RootLock(Factory()).owner(), storage::owner::OwnerLock::kFreeValue);
  helper.Kill();

  const StringAutoRelease created = factory_->GetSID("After the kill");
  EXPECT_EQ(created.GetSID(), 1);
  EXPECT_EQ(RootLock(Factory()).owner(), storage::owner::OwnerLock::kFreeValue);
}

// Another process stores a text and holds it until the test lets go; the
// text's SID and the hive of its head come back.
struct HeldText {
  int32_t sid = 0;
  int hive = 0;
};

class HeldTextProcess {
 public:
  HeldTextProcess(std::vector<std::string> arguments, bool fill, const char* text, std::filesystem::path out,
                  std::filesystem::path release)
      : out_(std::move(out)), release_(std::move(release)) {
    arguments.insert(arguments.end(), {fill ? "1" : "0", text, out_.string(), release_.string()});
    helper_ = std::make_unique<HelperProcess>(arguments);
  }
  std::optional<HeldText> Held() {
    if (!helper_->Started() || !WaitForSign(out_)) return std::nullopt;
    HeldText held;
    std::ifstream(out_) >> held.sid >> held.hive;
    return held;
  }
  int LetGo() {
    TouchFile(release_);
    return helper_->Wait();
  }

 private:
  std::filesystem::path out_;
  std::filesystem::path release_;
  std::unique_ptr<HelperProcess> helper_;
};

TEST_F(StringFactoryTest, FindsStringsThatAnotherProcessStoredInANewHive) {
  HeldTextProcess other(HelperArguments("string-factory-hold"), true, "Far away", Sign("far"),
                        Sign("release"));
  const std::optional<HeldText> held = other.Held();
  ASSERT_TRUE(held.has_value());
  EXPECT_GE(held->hive, 2);

  EXPECT_EQ(factory_->GetSID("FAR AWAY").GetSID(), held->sid);
  EXPECT_STREQ(factory_->GetString(held->sid).GetString(), "Far away");
  EXPECT_EQ(other.LetGo(), kSfDone);
}

// A rescan looks only at blocks carved since the last one while a hive can
// still carve; once it cannot, a new string may lie in a block freed before
// that scan, and the hive is walked whole.
TEST_F(StringFactoryTest, FindsAStringThatAnotherProcessStoredInAFreedBlockOfAFullHive) {
  StringAutoRelease victim = factory_->GetSID("Victim");
  ASSERT_NE(victim.GetHolder(), nullptr);
  HeldTextProcess first(HelperArguments("string-factory-hold"), false, "First", Sign("first"),
                        Sign("release-first"));
  const std::optional<HeldText> firstHeld = first.Held();
  ASSERT_TRUE(firstHeld.has_value());
  EXPECT_EQ(factory_->GetSID("FIRST").GetSID(), firstHeld->sid);  // a rescan, which leaves its marks

  const std::vector<InitMemAddress> fillers = FillFirstHive(Factory().pageManager());
  victim = StringAutoRelease();  // its head block, met by that rescan, is free now
  HeldTextProcess second(HelperArguments("string-factory-hold"), false, "Second", Sign("second"),
                         Sign("release-second"));
  const std::optional<HeldText> secondHeld = second.Held();
  ASSERT_TRUE(secondHeld.has_value());
  EXPECT_EQ(secondHeld->hive, 1) << "the head should have reused the freed block";

  EXPECT_EQ(factory_->GetSID("SECOND").GetSID(), secondHeld->sid);
  EXPECT_STREQ(factory_->GetString(secondHeld->sid).GetString(), "Second");
  EXPECT_EQ(first.LetGo(), kSfDone);
  EXPECT_EQ(second.LetGo(), kSfDone);
  for (const InitMemAddress& filler : fillers) Factory().pageManager().Release(filler);
}

// A string that another process made is looked for first where that process
// said it put it; once that block holds another string, the SID is gone and
// the other string answers only to its own.
TEST_F(StringFactoryTest, ASidWhoseBlockNowHoldsAnotherStringIsGone) {
  HeldTextProcess first(HelperArguments("string-factory-hold"), false, "Old text", Sign("old"),
                        Sign("release-old"));
  const std::optional<HeldText> oldHeld = first.Held();
  ASSERT_TRUE(oldHeld.has_value());
  const std::vector<InitMemAddress> fillers = FillFirstHive(Factory().pageManager());
  EXPECT_EQ(first.LetGo(), kSfDone);  // its blocks are the only free ones of their sizes now

  HeldTextProcess second(HelperArguments("string-factory-hold"), false, "New text", Sign("new"),
                         Sign("release-new"));
  const std::optional<HeldText> newHeld = second.Held();
  ASSERT_TRUE(newHeld.has_value());
  EXPECT_EQ(newHeld->hive, 1) << "the head should have reused the freed block";

  EXPECT_FALSE(factory_->GetString(oldHeld->sid).IsValid());
  EXPECT_STREQ(factory_->GetString(newHeld->sid).GetString(), "New text");
  EXPECT_EQ(second.LetGo(), kSfDone);
  for (const InitMemAddress& filler : fillers) Factory().pageManager().Release(filler);
}

TEST_F(StringFactoryTest, StringsFreedByAnotherProcessAreNeverReturned) {
  HeldTextProcess other(HelperArguments("string-factory-hold"), false, "Short lived", Sign("short"),
                        Sign("release"));
  const std::optional<HeldText> held = other.Held();
  ASSERT_TRUE(held.has_value());
  // Indexed here, then freed there by the last release.
  EXPECT_EQ(factory_->GetSID("short LIVED").GetSID(), held->sid);
  EXPECT_EQ(other.LetGo(), kSfDone);
  EXPECT_FALSE(factory_->GetString(held->sid).IsValid());
  EXPECT_FALSE(factory_->PeekSID("Short lived").IsValid());

  const StringAutoRelease again = factory_->GetSID("SHORT LIVED");
  EXPECT_EQ(again.GetSID(), held->sid + 1);
  EXPECT_STREQ(again.GetString(), "SHORT LIVED");
}

}  // namespace
}  // namespace settingstore::test
