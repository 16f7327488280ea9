// check, stat and hold on shared storages: a sound storage passes, damage of
// every kind that the files can carry is found and never crashes the tool, and
// a storage in use is refused by check and measured by stat.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "base/HashHelper.h"
#include "shareddom/SharedSettings.h"
#include "shareddom/StringHolderBase.h"
#include "shm/MemoryConfigurator.h"
#include "shm/PageManager.h"
#include "tools/CliRunner.h"

namespace settingstore::test {
namespace {

using storage::StringHolderBase;
constexpr uint32_t kHeaderSize = 64;
constexpr uint32_t kNull = 0xCCCCCCCC;
constexpr const char* kNodes = "dom/.storage000d.dm2";
constexpr const char* kStrings = "dom/.storageMap000d.dm2";

// A hive file read the simple way a test can: enough to find blocks by their
// size and to change words, then to store it with its checksum made right.
class HiveFile {
 public:
  HiveFile(const CliRunner& runner, std::string name)
      : runner_(runner), name_(std::move(name)), bytes_(runner.ReadFile(name_)) {
    // A storage that was never saved fails the test instead of crashing it.
    if (bytes_.size() < 65536) ADD_FAILURE() << name_ << " holds " << bytes_.size() << " bytes";
    bytes_.resize(std::max<size_t>(bytes_.size(), 65536));
  }

  uint32_t Word(uint32_t areaOffset) const {
    uint32_t value;
    std::memcpy(&value, bytes_.data() + kHeaderSize + areaOffset, sizeof value);
    return value;
  }
  void SetWord(uint32_t areaOffset, uint32_t value) {
    std::memcpy(bytes_.data() + kHeaderSize + areaOffset, &value, sizeof value);
  }
  void FlipByte(size_t fileOffset) { bytes_[fileOffset] = static_cast<char>(bytes_[fileOffset] ^ 0x5A); }
  size_t Size() const { return bytes_.size(); }

  // The area offset of the first block in use that was asked for with
  // `size` bytes and whose content passes `matches`.
  uint32_t BlockOfSize(uint32_t size, const std::function<bool(uint32_t)>& matches = nullptr) const {
    for (uint32_t k = 0; k < Word(8); ++k) {
      if (Word(20 + 16 * k + 4) == (0xC0000000 | size) && (!matches || matches(Word(20 + 16 * k))))
        return Word(20 + 16 * k);
    }
    ADD_FAILURE() << "no block of " << size << " bytes in " << name_;
    return 0;
  }
  // The area offset of the head block of the string stored as `text`.
  uint32_t StringHead(const std::string& text) const {
    return BlockOfSize(StringHolderBase::kHeadBlockSize, [&](uint32_t head) {
      for (size_t j = 0; j <= text.size(); ++j) {
        const auto byte = static_cast<uint8_t>(bytes_[kHeaderSize + head + StringHolderBase::kPayloadOffset + j]);
        if (StringHolderBase::Unscramble(byte, j) != static_cast<uint8_t>((text + '\0')[j])) return false;
      }
      return true;
    });
  }
  void SetTextByte(uint32_t head, size_t j, char c) {
    bytes_[kHeaderSize + head + StringHolderBase::kPayloadOffset + j] =
        static_cast<char>(StringHolderBase::Scramble(static_cast<uint8_t>(c), j));
  }
  // The node file's root element: the element that the only 4-byte block names.
  uint32_t RootElement() const { return Word(BlockOfSize(4)) & 0xFFFFFF; }

  void Save(bool withChecksum) {
    if (withChecksum) {
      const uint32_t sum =
          storage::hash::HashHelper<0>().Compute(bytes_.data() + kHeaderSize, bytes_.size() - kHeaderSize);
      std::memcpy(bytes_.data() + 8, &sum, sizeof sum);
    }
    runner_.WriteFile(name_, bytes_);
  }

 private:
  const CliRunner& runner_;
  std::string name_;
  std::string bytes_;
};

void ExpectLines(const std::string& out, const std::vector<std::string>& lines) {
  for (const std::string& line : lines) EXPECT_NE(out.find(line), std::string::npos) << line << " in\n" << out;
}

class CheckTest : public ::testing::Test {
 protected:
  CliResult run(const Words& arguments) const { return runner_.Run(SharedStorage(runner_) + arguments); }
  std::string Ok(const Words& arguments) const { return runner_.Ok(SharedStorage(runner_) + arguments); }
  void Fill() const {
    Ok({"set", "App/Window", "Title", "hello"});
    Ok({"set", "--type", "int", "App/Window", "Width", "640"});
    Ok({"set", "--type", "binary", "App", "Blob", "00ff10"});
    Ok({"set", "--type", "multi", "App", "Names", "first", "second"});
    Ok({"set", "Other", "Long", std::string(200, 'x')});
  }
  // Runs check on a damaged storage: status 3, problems on standard output.
  std::string Damaged() const {
    const CliResult result = run({"check"});
    EXPECT_EQ(result.status, 3) << result.out;
    EXPECT_EQ(result.err.rfind("settingstore: the storage is damaged", 0), 0u) << result.err;
    EXPECT_NE(result.out.find("the storage is damaged\n"), std::string::npos);
    return result.out;
  }

  CliRunner runner_;
};

// A sound storage passes with its summary. Every value written over and every
// key and section deleted then gives its nodes and strings back: nothing is
// left taken for a strict check to find.
TEST_F(CheckTest, ASoundStoragePassesAndOverwritesAndDeletesLeaveNothingTaken) {
  Fill();
  const std::string out = Ok({"check"});
  ExpectLines(out, {"hives:          1 node, 1 string\n", "sections:       3\n", "keys:           5\n",
                    "the storage is sound\n"});
  EXPECT_EQ(out.find("damage"), std::string::npos) << out;
  // check reads only: the storage opens as before.
  EXPECT_EQ(Ok({"get", "App/Window", "Width"}), "640\n");
  Ok({"set", "App/Window", "Title", "second title"});
  Ok({"set", "--type", "int", "App/Window", "Title", "7"});
  Ok({"set", "Other", "Long", std::string(300, 'y')});
  Ok({"rm", "App", "Blob"});
  Ok({"rmsection", "-r", "App/Window"});
  ExpectLines(Ok({"check", "--strict"}), {"keys:           2\n", "leaked blocks:  0\n", "the storage is sound\n"});
}

// Each damage, made in a file of a filled storage: what check must report,
// and whether the file's checksum is made right again after it.
TEST_F(CheckTest, EachDamageIsFound) {
  struct Damage {
    const char* file;
    bool checksum;
    std::function<void(HiveFile&)> make;
    std::vector<std::string> reported;
  };
  const Damage damages[] = {
      {kNodes, false, [](HiveFile& f) { f.FlipByte(f.Size() - 100); }, {".storage000d.dm2: checksum"}},
      {kStrings, false, [](HiveFile& f) { f.FlipByte(f.Size() - 100); }, {".storageMap000d.dm2: checksum"}},
      // The root's first child: the 4-byte holder, no element.
      {kNodes,
       true,
       [](HiveFile& f) { f.SetWord(f.RootElement() + 8, 0x01000000 | f.BlockOfSize(4)); },
       {"the root element: a child link names 0x01", "leak: node hives: the block"}},
      // The first section its own next sibling, its name a SID never issued.
      {kNodes,
       true,
       [](HiveFile& f) {
         const uint32_t first = f.Word(f.RootElement() + 8);
         f.SetWord(first & 0xFFFFFF, first);
         f.SetWord((f.Word((first & 0xFFFFFF) + 12) & 0xFFFFFF) + 8, 999999);
       },
       {"a second time", "the SID 999999 names no live string"}},
      // A string chunk linking to the table's root.
      {kStrings,
       true,
       [](HiveFile& f) { f.SetWord(f.BlockOfSize(36), 0x01000000 | f.BlockOfSize(12)); },
       {"which is no string chunk"}},
      // A read reaches a section or key through the string table's lookup by
      // name: a name string that leads elsewhere (its marker byte changed, or
      // spelled as another name) breaks `ls -r`, and check must find it first.
      {kStrings,
       true,
       [](HiveFile& f) { f.SetTextByte(f.StringHead("\x01Other"), 0, '!'); },
       {"section '!Other': a lookup by its name finds no string instead of its own"}},
      {kStrings,
       true,
       [](HiveFile& f) { f.SetTextByte(f.StringHead("\x01k2"), 2, '1'); },
       {"key 'Other\\k1': a lookup by its name finds the string "}},
  };
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.reported.front());
    std::filesystem::remove_all(runner_.File("dom"));
    Fill();
    Ok({"set", "Other", "k1", "v"});
    Ok({"set", "Other", "k2", "v"});
    HiveFile file(runner_, damage.file);
    damage.make(file);
    file.Save(damage.checksum);
    const std::string out = Damaged();
    ExpectLines(out, damage.reported);
    EXPECT_TRUE(!damage.checksum || out.find("checksum") == std::string::npos) << out;
  }
}

TEST_F(CheckTest, LeakedBlocksAreReportedAndFailOnlyAStrictCheck) {
  Fill();
  // The section "Other" (with its key) cut out of the list it follows "App"
  // in, the way an operation that never finished leaves blocks behind.
  HiveFile nodes(runner_, kNodes);
  const uint32_t app = nodes.Word(nodes.RootElement() + 8) & 0xFFFFFF;
  ASSERT_NE(nodes.Word(app), kNull);
  nodes.SetWord(app, kNull);
  nodes.Save(true);

  const std::string out = Ok({"check"});
  ExpectLines(out, {"leak: node hives: the block", "leaked blocks:  7\n", "sections:       2\n",
                    "the storage is sound\n"});
  EXPECT_EQ(out.find("damage"), std::string::npos) << out;
  const CliResult strict = run({"check", "--strict"});
  EXPECT_EQ(strict.status, 3);
  EXPECT_NE(strict.err.find("the storage is damaged (7 problems)"), std::string::npos) << strict.err;
}

TEST_F(CheckTest, TheHashChainTiesEachHiveToTheOneBefore) {
  Fill();
  {
    // The string table grows a second hive: two blocks too large for one
    // hive, given back at once, leave the storage sound with two hives.
    const storage::SharedSettings settings(runner_.File("dom").c_str());
    storage::BasicMemoryConfigurator names(settings.mapName.c_str(),
                                       (settings.path + "/" + settings.mapFileName).c_str());
    storage::PageManager pages;
    pages.Initialize(&names);
    const storage::InitMemAddress first = pages.Allocate(600000);
    const storage::InitMemAddress second = pages.Allocate(600000);
    ASSERT_EQ(second.HiveNumber(), 2);
    pages.Release(first);
    pages.Release(second);
  }
  EXPECT_NE(Ok({"check"}).find("hives:          1 node, 2 string\n"), std::string::npos);

  // The second hive changed in a byte that nothing but the chain covers, with
  // its own checksum made right again.
  HiveFile second(runner_, "dom/.storageMap001d.dm2");
  second.FlipByte(kHeaderSize + 4096);
  second.Save(true);
  const std::string out = Damaged();
  ExpectLines(out, {".storageMap000d.dm2: its head records the hash"});
  EXPECT_EQ(out.find("checksum"), std::string::npos) << out;
}

TEST_F(CheckTest, DamagedFilesNeverCrashTheTool) {
  Fill();
  const std::string pristine = runner_.ReadFile(kNodes);
  const std::string pristineMap = runner_.ReadFile(kStrings);
  std::mt19937 random(20261206);
  for (int round = 0; round < 12; ++round) {
    runner_.WriteFile(kNodes, pristine);
    runner_.WriteFile(kStrings, pristineMap);
    HiveFile file(runner_, round % 2 == 0 ? kNodes : kStrings);
    // The block table at the bottom and the blocks at the top hold the structure.
    for (int hit = 0; hit < 1 + round % 8; ++hit) {
      const uint32_t spot = random() % 8192;
      file.FlipByte(random() % 2 == 0 ? kHeaderSize + spot : file.Size() - 1 - spot);
    }
    file.Save(round % 3 != 0);
    const CliResult result = run({"check"});
    EXPECT_TRUE(result.status == 0 || result.status == 3) << "round " << round << ": " << result.status;
  }
  runner_.WriteFile(kStrings, pristineMap.substr(0, 5000));
  EXPECT_NE(Damaged().find(".storageMap000d.dm2: 5000 bytes instead of 1048576"), std::string::npos);
}

TEST_F(CheckTest, ALiveStorageIsRefusedByCheckAndMeasuredByStat) {
  Fill();
  {
    HeldStorage held(runner_, SharedStorage(runner_));
    ASSERT_TRUE(held.Holding());
    const CliResult refused = run({"check"});
    EXPECT_EQ(refused.status, 3);
    EXPECT_NE(refused.err.find("is open in another process"), std::string::npos) << refused.err;
    const std::string stat = Ok({"stat"});
    EXPECT_EQ(stat.rfind("region", 0), 0u) << stat;
    ExpectLines(stat, {"\nnodes        1 ", "\nstrings      1 ", "\ntraits       1 "});
    EXPECT_EQ(held.Stop(0), 0);
  }
  const CliResult gone = run({"stat"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_NE(gone.err.find("no process has the shared storage"), std::string::npos) << gone.err;
  EXPECT_NE(Ok({"check"}).find("the storage is sound\n"), std::string::npos);
}

}  // namespace
}  // namespace settingstore::test
