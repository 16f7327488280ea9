// The shared string table behind every name and value: names that ignore
// case beside values that keep their bytes, reference counts that free a
// string with its last holder, long texts in files of their own, and
// processes that find each other's strings.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "SharedStorage/StringHolderBase.h"
#include "SharedStorage/StringHolderFactory.h"
#include "platform/Platform.h"
#include "shareddom/SharedDomFixture.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;

class StringsTest : public ::testing::Test {
 protected:
  std::string StoragePath() const { return dir_.File("store"); }
  TempDirectory dir_;
};

// A name keeps the spelling it was first given as a name: values and the
// storage's own words never lend it theirs. Values keep every byte even
// where only letter case tells them apart, and keys with equal values share
// a string yet change and go independently.
TEST_F(StringsTest, NamesAndValuesShareTheTableYetKeepTheirOwnSpelling) {
  SharedDomSession session(StoragePath());
  Ref<IStorageSection> root = session.Root();
  WriteString(*root, "Paint", "COLOUR");
  Ref<IStorageSection>(root->CreateSection("colour"));
  Ref<IStorageSection>(root->CreateSection("Value"));
  WriteInteger(*root, "SECTION", 2);
  EXPECT_EQ(Names(root->EnumSections()), (Strings{"colour", "Value"}));
  const Strings values{"abc", "AbC", std::string("\x69\xA6\x9A"), "Key", "colour", "COLOUR"};
  for (size_t i = 0; i < values.size(); ++i)
    Write(*root, ("V" + std::to_string(i)).c_str(), storage::TYPE_BINARY, values[i]);
  for (size_t i = 0; i < values.size(); ++i)
    EXPECT_EQ(ReadKey(*root, ("v" + std::to_string(i)).c_str()), values[i]);
  EXPECT_EQ(Names(root->EnumKeys()), (Strings{"Paint", "SECTION", "V0", "V1", "V2", "V3", "V4", "V5"}));

  WriteString(*root, "V0", "AbC");
  EXPECT_TRUE(root->DeleteKey("V1"));
  EXPECT_EQ(ReadKey(*root, "V0"), std::string("AbC\0", 4));
  EXPECT_TRUE(root->DeleteKey("V0"));
  WriteString(*root, "V1", "AbC");
  EXPECT_EQ(ReadKey(*root, "V1"), std::string("AbC\0", 4));
}

// Size and text are read under two holdings of the lock; a write between
// them must not make the copy run past the text that was read.
TEST_F(StringsTest, AStringReadNeverCopiesBeyondItsText) {
  SharedDomSession session(StoragePath());
  const std::string short_text = "S", long_text = "L" + std::string(200, 'l');
  Ref<IStorageKey> key(session.Root()->CreateKey("Racing"));
  const auto write = [&](const std::string& text) {
    key->Write(storage::TYPE_STRING, text.c_str(), static_cast<unsigned>(text.size() + 1));
  };
  write(short_text);
  std::atomic<bool> done{false};
  std::jthread writer([&] {
    for (int i = 0; i < 400; ++i) write(i % 2 == 0 ? long_text : short_text);
    done = true;
  });
  for (int reads = 0; !done || reads == 0; ++reads) {
    std::string buffer(long_text.size() + 8, '#');
    ASSERT_TRUE(key->Read(buffer.data(), static_cast<unsigned>(buffer.size())));
    const std::string& text = buffer[0] == 'S' ? short_text : long_text;
    const size_t end = buffer.find('#');
    ASSERT_LE(end, text.size() + 1) << "copied past the text: " << buffer;
    ASSERT_EQ(buffer.compare(0, end, text.c_str(), end), 0) << buffer;
  }
}

TEST_F(StringsTest, ALongTextWhoseFileCannotBeWrittenFailsItsOperationAlone) {
  SharedDomSession session(StoragePath());
  Ref<IStorageSection> root = session.Root();
  WriteString(*root, "Long", "short");
  // Long texts live in files beside the hives: with the storage directory
  // turned into a plain file, not even root can make one.
  const fs::path directory = StoragePath(), away = StoragePath() + ".away";
  fs::rename(directory, away);
  std::ofstream(directory).put('x');
  const std::string long_text(2000, 'x');
  int codes = 0;  // the two operations' error codes, each of them -3
  for (int i = 0; i < 2; ++i) {
    try {
      i == 0 ? WriteString(*root, "Long", long_text)
             : Ref<IStorageKey>(root->CreateKey(long_text.c_str())).reset();
    } catch (const storage::Exception& error) {
      codes = codes * 10 + error.GetErrorCode();
    }
  }
  fs::remove(directory);
  fs::rename(away, directory);
  EXPECT_EQ(codes, -33);
  EXPECT_EQ(ReadKey(*root, "Long"), std::string("short", 6));
  WriteString(*root, "Long", long_text);
  EXPECT_EQ(ReadKey(*root, "Long"), long_text + '\0');
}

// A string table of the test's own, and other processes on it.
class StringTableTest : public StringsTest {
 protected:
  static std::string NewName() {
    static std::atomic<int> counter{0};
    return "Local\\sdstrings_" + std::to_string(storage::platform::CurrentProcessId()) + "_" +
           std::to_string(counter++) + "_";
  }
  fs::path Sign(const std::string& name) const { return dir_.path() / name; }
  Strings Helper(const char* command) const { return {command, name_, dir_.File("strings")}; }
  size_t ExternalFiles() const {
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir_.path())) {
      files += entry.path().filename().string().starts_with("external_") ? 1 : 0;
    }
    return files;
  }

  std::string name_ = NewName();
  StringTable table_{name_, dir_.File("strings")};
};

TEST_F(StringTableTest, TheLastReleaseFreesTheStringAndANewSidFollows) {
  int32_t sid = 0;
  {
    const StringRef first = NameString("Temporary");
    sid = first.GetSID();
    const StringRef copy = first;
    EXPECT_EQ(TextOf(sid), "Temporary");
    EXPECT_GT(StringBlockCount(table_.pages()), 0u);
  }
  EXPECT_EQ(TextOf(sid), "<gone>");
  EXPECT_EQ(StringBlockCount(table_.pages()), 0u);

  StringRef again = NameString("temporary");
  EXPECT_EQ(again.GetSID(), sid + 1);
  EXPECT_EQ(TextOf(again.GetSID()), "temporary");
  // A reference added on the caller's behalf outlives the handle.
  again.AddRef();
  const int32_t kept = again.GetSID();
  storage::IStringHolder* holder = again.GetHolder();
  again = StringRef();
  EXPECT_EQ(TextOf(kept), "temporary");
  holder->Release();
  EXPECT_EQ(TextOf(kept), "<gone>");
  EXPECT_EQ(StringBlockCount(table_.pages()), 0u);
}

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
  table_.Unload();
  table_.Load();
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
  storage::PageManager* pages = &table_.pages();
  storage::StringHolderFactory holders(table_.factory(), &pages);
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
// gone, every string is freed and its blocks serve new strings.
TEST_F(StringTableTest, ManyProcessesAgreeOnOneSidPerText) {
  constexpr int kTexts = 2000, kProcesses = 4;
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
  std::set<uint32_t> used;
  for (int i = 0; i < kTexts; ++i) {
    EXPECT_EQ(NameString("TEXT-" + std::to_string(i)).GetSID(), results[0][i]);
    used.insert(FindHead(table_.pages(), results[0][i]).value());
  }

  TouchFile(Sign("release"));
  for (int p = 0; p < kProcesses; ++p) EXPECT_EQ(helpers[p]->Wait(), 0) << "process " << p;
  EXPECT_EQ(StringBlockCount(table_.pages()), 0u);
  EXPECT_EQ(TextOf(results[0][0]), "<gone>");

  FillFirstHive(table_.pages());
  std::vector<StringRef> reused;
  for (int i = 0; i < 20; ++i) {
    reused.push_back(NameString("Again-" + std::to_string(i)));
    EXPECT_TRUE(used.contains(FindHead(table_.pages(), reused.back().GetSID()).value()))
        << "string " << i << " did not reuse a freed block";
  }
}

TEST_F(StringTableTest, AKilledRootHolderDoesNotBlockTheOthers) {
  Strings arguments = Helper("string-hold-root");
  arguments.push_back(Sign("held").string());
  HelperProcess helper(arguments);
  ASSERT_TRUE(WaitForFile(Sign("held")));
  EXPECT_NE(RootLock(table_.pages()).owner(), storage::owner::OwnerLock::kFreeValue);
  helper.Kill();

  EXPECT_EQ(NameString("After the kill").GetSID(), 1);
  EXPECT_EQ(RootLock(table_.pages()).owner(), storage::owner::OwnerLock::kFreeValue);
}

// Another process stores a text and holds it until the test lets it go.
class HeldText {
 public:
  HeldText(Strings arguments, const char* text, const fs::path& dir)
      : out_(dir / text), release_(dir / (std::string(text) + ".release")) {
    arguments.insert(arguments.end(), {text, out_.string(), release_.string()});
    helper_ = std::make_unique<HelperProcess>(arguments);
    if (WaitForFile(out_)) std::ifstream(out_) >> sid >> hive;
  }
  int LetGo() {
    TouchFile(release_);
    return helper_->Wait();
  }
  int32_t sid = 0;
  int hive = 0;  // of the text's head block

 private:
  fs::path out_, release_;
  std::unique_ptr<HelperProcess> helper_;
};

// A rescan looks only at blocks carved since the last one while a hive can
// still carve; once it cannot, a new string may lie in a block freed before
// that scan, and the hive is walked whole.
TEST_F(StringTableTest, FindsAStringThatAnotherProcessStoredInAFreedBlockOfAFullHive) {
  StringRef victim = NameString("Victim");
  HeldText first(Helper("string-hold"), "First", dir_.path());
  ASSERT_GT(first.sid, 0);
  EXPECT_EQ(NameString("FIRST").GetSID(), first.sid);  // a rescan, which leaves its marks

  const std::vector<InitMemAddress> fillers = FillFirstHive(table_.pages());
  victim = StringRef();  // its head block, met by that rescan, is free now
  HeldText second(Helper("string-hold"), "Second", dir_.path());
  EXPECT_EQ(second.hive, 1) << "the head should have reused the freed block";
  EXPECT_EQ(NameString("SECOND").GetSID(), second.sid);
  EXPECT_EQ(TextOf(second.sid), "Second");
  EXPECT_EQ(first.LetGo(), 0);
  EXPECT_EQ(second.LetGo(), 0);
  for (const InitMemAddress& filler : fillers) table_.pages().Release(filler);
}

// A string that another process made is looked for first where that process
// said it put it; once that block holds another string, the SID is gone and
// the other string answers only to its own.
TEST_F(StringTableTest, ASidWhoseBlockNowHoldsAnotherStringIsGone) {
  HeldText first(Helper("string-hold"), "Old text", dir_.path());
  ASSERT_GT(first.sid, 0);
  const std::vector<InitMemAddress> fillers = FillFirstHive(table_.pages());
  EXPECT_EQ(first.LetGo(), 0);  // its blocks are the only free ones of their sizes now

  HeldText second(Helper("string-hold"), "New text", dir_.path());
  EXPECT_EQ(second.hive, 1) << "the head should have reused the freed block";
  EXPECT_EQ(TextOf(first.sid), "<gone>");
  EXPECT_EQ(TextOf(second.sid), "New text");
  EXPECT_EQ(second.LetGo(), 0);
  for (const InitMemAddress& filler : fillers) table_.pages().Release(filler);
}

}  // namespace
}  // namespace settingstore::test
