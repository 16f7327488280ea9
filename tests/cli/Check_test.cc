// check, stat and hold on shared storages: a sound storage passes, damage of
// every kind that the files can carry is found and never crashes the tool, and
// a storage in use is refused by check and measured by stat.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "base/HashHelper.h"
#include "cli/CliRunner.h"
#include "cli/HeldStorage.h"
#include "shareddom/SharedSettings.h"
#include "shareddom/StringHolderBase.h"
#include "shm/MemoryConfigurator.h"
#include "shm/PageManager.h"

namespace settingstore::test {
namespace {

constexpr uint32_t kHeaderSize = 64;
constexpr uint32_t kNull = 0xCCCCCCCC;

// A hive file read the simple way a test can: enough to find blocks by their
// size and to change words, then to store it with its checksum made right.
class HiveFile {
 public:
  HiveFile(const CliRunner& runner, std::string name) : runner_(runner), name_(std::move(name)) {
    bytes_ = runner_.readFile(name_);
  }

  uint32_t word(uint32_t areaOffset) const {
    uint32_t value;
    std::memcpy(&value, bytes_.data() + kHeaderSize + areaOffset, sizeof value);
    return value;
  }
  void setWord(uint32_t areaOffset, uint32_t value) {
    std::memcpy(bytes_.data() + kHeaderSize + areaOffset, &value, sizeof value);
  }
  void flipByte(uint32_t fileOffset) { bytes_[fileOffset] = static_cast<char>(bytes_[fileOffset] ^ 0x5A); }
  size_t size() const { return bytes_.size(); }

  // The area offset of the head block of the string stored as `text`.
  uint32_t stringHead(const std::string& text) const {
    using storage::StringHolderBase;
    for (uint32_t k = 0; k < word(8); ++k) {
      if (word(20 + 16 * k + 4) != (0xC0000000 | StringHolderBase::kHeadBlockSize)) continue;
      const uint32_t head = word(20 + 16 * k);
      std::string stored;
      for (size_t j = 0; j <= text.size(); ++j) {
        stored += static_cast<char>(StringHolderBase::Unscramble(
            static_cast<uint8_t>(bytes_[kHeaderSize + head + StringHolderBase::kPayloadOffset + j]), j));
      }
      if (stored == text + '\0') return head;
    }
    ADD_FAILURE() << "no string '" << text << "' in " << name_;
    return 0;
  }
  void setTextByte(uint32_t head, size_t j, char c) {
    const auto scrambled = storage::StringHolderBase::Scramble(static_cast<uint8_t>(c), j);
    bytes_[kHeaderSize + head + storage::StringHolderBase::kPayloadOffset + j] = static_cast<char>(scrambled);
  }

  // The area offset of the first block in use that was asked for with `size` bytes.
  uint32_t blockOfSize(uint32_t size) const {
    const uint32_t entries = word(8);
    for (uint32_t k = 0; k < entries; ++k) {
      if (word(20 + 16 * k + 4) == (0xC0000000 | size)) return word(20 + 16 * k);
    }
    ADD_FAILURE() << "no block of " << size << " bytes in " << name_;
    return 0;
  }

  void save(bool withChecksum) {
    if (withChecksum) {
      const uint32_t sum =
          storage::hash::HashHelper<0>().getResult(bytes_.data() + kHeaderSize, bytes_.size() - kHeaderSize);
      std::memcpy(bytes_.data() + 8, &sum, sizeof sum);
    }
    runner_.writeFile(name_, bytes_);
  }

 private:
  const CliRunner& runner_;
  std::string name_;
  std::string bytes_;
};

class CheckTest : public ::testing::Test {
 protected:
  std::vector<std::string> storage() const { return {"--type", "shared", "--path", runner_.file("dom")}; }
  CliResult run(const std::vector<std::string>& arguments) const {
    return runner_.run(storage() + arguments);
  }
  std::string ok(const std::vector<std::string>& arguments) const {
    const CliResult result = run(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  }

  void fill() const {
    ok({"set", "App/Window", "Title", "hello"});
    ok({"set", "--type", "int", "App/Window", "Width", "640"});
    ok({"set", "--type", "binary", "App", "Blob", "00ff10"});
    ok({"set", "--type", "multi", "App", "Names", "first", "second"});
    ok({"set", "Other", "Long", std::string(200, 'x')});
  }

  // The node file's root element: the element that the only 4-byte block names.
  uint32_t rootElement(const HiveFile& nodes) const { return nodes.word(nodes.blockOfSize(4)) & 0xFFFFFF; }

  // Runs check on a damaged storage: status 3, problems on standard output.
  std::string damaged() const {
    const CliResult result = run({"check"});
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_EQ(result.err.rfind("settingstore: the storage is damaged", 0), 0u) << result.err;
    EXPECT_NE(result.out.find("the storage is damaged\n"), std::string::npos);
    return result.out;
  }

  CliRunner runner_;
};

TEST_F(CheckTest, ASoundStoragePassesWithItsSummary) {
  fill();
  const std::string out = ok({"check"});
  EXPECT_NE(out.find("hives:          1 node, 1 string\n"), std::string::npos) << out;
  EXPECT_NE(out.find("sections:       3\n"), std::string::npos) << out;
  EXPECT_NE(out.find("keys:           5\n"), std::string::npos) << out;
  EXPECT_NE(out.find("the storage is sound\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("damage"), std::string::npos) << out;
  // check reads only: the storage opens as before.
  EXPECT_EQ(ok({"get", "App/Window", "Width"}), "640\n");
}

TEST_F(CheckTest, AFlippedByteInEitherFileIsDamage) {
  fill();
  for (const char* name : {"dom/.storage000d.dm2", "dom/.storageMap000d.dm2"}) {
    HiveFile file(runner_, name);
    file.flipByte(static_cast<uint32_t>(file.size()) - 100);
    file.save(false);
    EXPECT_NE(damaged().find(std::string(name + 4) + ": checksum"), std::string::npos) << name;
  }
}

TEST_F(CheckTest, ABrokenLinkIsFoundBehindAValidChecksum) {
  fill();
  HiveFile nodes(runner_, "dom/.storage000d.dm2");
  const uint32_t holder = 0x01000000 | nodes.blockOfSize(4);
  nodes.setWord(rootElement(nodes) + 8, holder);  // the root's first child: the holder, no element
  nodes.save(true);
  const std::string out = damaged();
  EXPECT_EQ(out.find("checksum"), std::string::npos) << out;
  EXPECT_NE(out.find("the root element: a child link names 0x" + std::string("01")), std::string::npos)
      << out;
  EXPECT_NE(out.find("leak: node hives: the block"), std::string::npos) << out;
}

TEST_F(CheckTest, LeakedBlocksAreReportedAndFailOnlyAStrictCheck) {
  fill();
  // The section "Other" (with its key) cut out of the list it follows "App"
  // in, the way an operation that never finished leaves blocks behind.
  HiveFile nodes(runner_, "dom/.storage000d.dm2");
  const uint32_t app = nodes.word(rootElement(nodes) + 8) & 0xFFFFFF;
  ASSERT_NE(nodes.word(app), kNull);
  nodes.setWord(app, kNull);
  nodes.save(true);

  const std::string out = ok({"check"});
  EXPECT_NE(out.find("leak: node hives: the block"), std::string::npos) << out;
  EXPECT_NE(out.find("leaked blocks:  7\n"), std::string::npos) << out;
  EXPECT_NE(out.find("sections:       2\n"), std::string::npos) << out;
  EXPECT_NE(out.find("the storage is sound\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("damage"), std::string::npos) << out;

  const CliResult strict = run({"check", "--strict"});
  EXPECT_EQ(strict.status, 3);
  EXPECT_NE(strict.err.find("the storage is damaged (7 problems)"), std::string::npos) << strict.err;
}

// Every value written over and every key and section deleted gives its
// nodes and strings back: nothing is left taken for a strict check to find.
TEST_F(CheckTest, OverwrittenAndDeletedValuesLeaveNothingTaken) {
  fill();
  ok({"set", "App/Window", "Title", "second title"});
  ok({"set", "--type", "int", "App/Window", "Title", "7"});
  ok({"set", "Other", "Long", std::string(300, 'y')});
  ok({"rm", "App", "Blob"});
  ok({"rmsection", "-r", "App/Window"});

  const std::string out = ok({"check", "--strict"});
  EXPECT_NE(out.find("keys:           2\n"), std::string::npos) << out;
  EXPECT_NE(out.find("leaked blocks:  0\n"), std::string::npos) << out;
  EXPECT_NE(out.find("the storage is sound\n"), std::string::npos) << out;
}

TEST_F(CheckTest, LoopsAndDeadSidsAreFound) {
  fill();
  HiveFile nodes(runner_, "dom/.storage000d.dm2");
  const uint32_t first = nodes.word(rootElement(nodes) + 8);
  nodes.setWord((first & 0xFFFFFF) + 0, first);  // the first section is its own next sibling
  const uint32_t nameAttribute = nodes.word((first & 0xFFFFFF) + 12) & 0xFFFFFF;
  nodes.setWord(nameAttribute + 8, 999999);  // its name: a SID never issued
  nodes.save(true);
  const std::string out = damaged();
  EXPECT_NE(out.find("a second time"), std::string::npos) << out;
  EXPECT_NE(out.find("the SID 999999 names no live string"), std::string::npos) << out;
}

TEST_F(CheckTest, ABrokenStringChainIsFound) {
  fill();
  HiveFile strings(runner_, "dom/.storageMap000d.dm2");
  const uint32_t chunk = strings.blockOfSize(36);
  strings.setWord(chunk, 0x01000000 | strings.blockOfSize(12));  // a chunk linking to the table's root
  strings.save(true);
  EXPECT_NE(damaged().find("which is no string chunk"), std::string::npos);
}

// A read reaches a section or key through the string table's lookup by name:
// a name string that leads elsewhere (its marker byte changed, or spelled as
// another name) breaks `ls -r`, and check must find it first.
TEST_F(CheckTest, ANameThatALookupDoesNotLeadBackToIsFound) {
  const std::vector<std::tuple<std::string, size_t, char, std::string>> cases = {
      {"\x01Other", 0, '!', "section '!Other': a lookup by its name finds no string instead of its own"},
      {"\x01k2", 2, '1', "key 'Other\\k1': a lookup by its name finds the string "}};
  for (const auto& [name, at, replacement, report] : cases) {
    std::filesystem::remove_all(runner_.file("dom"));
    fill();
    ok({"set", "Other", "k1", "v"});
    ok({"set", "Other", "k2", "v"});
    HiveFile strings(runner_, "dom/.storageMap000d.dm2");
    strings.setTextByte(strings.stringHead(name), at, replacement);
    strings.save(true);
    EXPECT_NE(damaged().find(report), std::string::npos) << report;
  }
}

TEST_F(CheckTest, TheHashChainTiesEachHiveToTheOneBefore) {
  fill();
  {
    // The string table grows a second hive: two blocks too large for one
    // hive, given back at once, leave the storage sound with two hives.
    const storage::SharedSettings settings(runner_.file("dom").c_str());
    storage::BasicMemoryConfigurator names(settings.mapName.c_str(),
                                       (settings.path + "/" + settings.mapFileName).c_str());
    storage::PageManager pages;
    pages.Initialize(&names);
    const storage::InitMemAddress first = pages.Allocate(600000);
    const storage::InitMemAddress second = pages.Allocate(600000);
    ASSERT_EQ(second.hive(), 2);
    pages.Release(first);
    pages.Release(second);
  }
  EXPECT_NE(ok({"check"}).find("hives:          1 node, 2 string\n"), std::string::npos);

  // The second hive changed in a byte that nothing but the chain covers, with
  // its own checksum made right again.
  HiveFile second(runner_, "dom/.storageMap001d.dm2");
  second.flipByte(kHeaderSize + 4096);
  second.save(true);
  const std::string out = damaged();
  EXPECT_NE(out.find(".storageMap000d.dm2: its head records the hash"), std::string::npos) << out;
  EXPECT_EQ(out.find("checksum"), std::string::npos) << out;
}

TEST_F(CheckTest, DamagedFilesNeverCrashTheTool) {
  fill();
  const std::string pristine = runner_.readFile("dom/.storage000d.dm2");
  const std::string pristineMap = runner_.readFile("dom/.storageMap000d.dm2");
  std::mt19937 random(20261206);
  for (int round = 0; round < 12; ++round) {
    runner_.writeFile("dom/.storage000d.dm2", pristine);
    runner_.writeFile("dom/.storageMap000d.dm2", pristineMap);
    HiveFile file(runner_, round % 2 == 0 ? "dom/.storage000d.dm2" : "dom/.storageMap000d.dm2");
    // The block table at the bottom and the blocks at the top hold the structure.
    for (int hit = 0; hit < 1 + round % 8; ++hit) {
      const uint32_t spot = random() % 8192;
      file.flipByte(random() % 2 == 0 ? kHeaderSize + spot : static_cast<uint32_t>(file.size()) - 1 - spot);
    }
    file.save(round % 3 != 0);
    const CliResult result = run({"check"});
    EXPECT_TRUE(result.status == 0 || result.status == 3) << "round " << round << ": " << result.status;
  }
  runner_.writeFile("dom/.storageMap000d.dm2", pristineMap.substr(0, 5000));
  EXPECT_NE(damaged().find(".storageMap000d.dm2: 5000 bytes instead of 1048576"), std::string::npos);
}

TEST_F(CheckTest, ALiveStorageIsRefusedByCheckAndMeasuredByStat) {
  fill();
  {
    HeldStorage held(runner_, storage());
    ASSERT_TRUE(held.Holding());
    const CliResult refused = run({"check"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.err.find("is open in another process"), std::string::npos) << refused.err;

    const std::string stat = ok({"stat"});
    EXPECT_EQ(stat.rfind("region", 0), 0u) << stat;
    for (const char* region : {"\nnodes        1 ", "\nstrings      1 ", "\ntraits       1 "}) {
      EXPECT_NE(stat.find(region), std::string::npos) << region << " in\n" << stat;
    }
    // Another process writes while the storage stays up.
    ok({"set", "While", "Held", "yes"});
    EXPECT_EQ(held.Release(), 0);
  }
  const CliResult gone = run({"stat"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_NE(gone.err.find("no process has the shared storage"), std::string::npos) << gone.err;
  EXPECT_NE(ok({"check"}).find("sections:       4\n"), std::string::npos);
  EXPECT_EQ(ok({"get", "While", "Held"}), "yes\n");
}

// Asked to stop by a signal, hold leaves as at the end of its input: as the
// last process, it saves what another process wrote meanwhile.
TEST_F(CheckTest, HoldLeavesCleanlyOnASignal) {
  fill();
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const std::string value = std::to_string(signal);
    {
      HeldStorage held(runner_, storage());
      ASSERT_TRUE(held.Holding());
      ok({"set", "While", "Held", value});
      EXPECT_EQ(held.Stop(signal), 0) << signal;
    }
    EXPECT_EQ(ok({"get", "While", "Held"}), value + "\n") << signal;
  }
}

TEST_F(CheckTest, WrongStoragesAreNotFoundOrUsageErrors) {
  EXPECT_EQ(run({"check"}).status, 1);  // nothing stored yet
  EXPECT_EQ(run({"stat"}).status, 1);
  EXPECT_EQ(runner_.run({"--type", "xml", "--path", runner_.file("dom"), "check"}).status, 2);
  EXPECT_EQ(runner_.run({"--type", "registry", "stat"}).status, 2);
}

}  // namespace
}  // namespace settingstore::test
