// One page manager shared by several processes: concurrent churn while the
// chain grows, hives made by one process resolved by another, and hive files
// written by two processes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "shm/PageManagerFixture.h"
#include "support/HelperProcess.h"

namespace storage {
namespace {

using settingstore::test::BlockCollector;
using settingstore::test::HasStamp;
using settingstore::test::HelperProcess;
using settingstore::test::kHeadOffset;
using settingstore::test::kPersistedBlockSize;
using settingstore::test::kPmDone;
using settingstore::test::PageManagerTest;
using settingstore::test::ReadBytes;
using settingstore::test::ReadHead;
using settingstore::test::Stamp;
using settingstore::test::WaitForFile;
using settingstore::test::WriteTextFile;

using PageManagerProcesses = PageManagerTest;

TEST_F(PageManagerProcesses, FourProcessesChurnBlocksWhileTheChainGrows) {
  // File-backed, so that the hives the helpers made outlive them: the last
  // helper to close each one saves it.
  PageManager manager;
  Start(manager, true);
  std::vector<std::unique_ptr<HelperProcess>> helpers;
  for (int p = 0; p < 4; ++p) {
    helpers.push_back(std::make_unique<HelperProcess>(
        std::vector<std::string>{"pm-churn", Name(), FilePrefix(), "2000", std::to_string(1 + 2 * p)}));
    ASSERT_TRUE(helpers.back()->Started());
  }
  for (auto& helper : helpers) EXPECT_EQ(helper->Wait(), kPmDone);

  // The chain has grown past two hives: this process loads them, checked
  // against the hash chain, when it meets an address in the third.
  EXPECT_EQ(ReadHead(manager.GetPoint(InitMemAddress(3, kHeadOffset))).signature, "hivehead");
  EXPECT_EQ(ReadHead(manager.GetPoint(InitMemAddress(1, kHeadOffset))).signature, "hivehead");
  // Every block went back.
  BlockCollector blocks;
  manager.Enumerate(blocks, false);
  EXPECT_TRUE(blocks.addresses.empty());
}

TEST_F(PageManagerProcesses, AProcessResolvesAnAddressInAHiveAnotherProcessMade) {
  PageManager manager;
  Start(manager);
  HelperProcess helper({"pm-resolve", Name(), Path("ready").string(), Path("address").string()});
  ASSERT_TRUE(helper.Started());
  ASSERT_TRUE(WaitForFile(Path("ready")));

  // The helper has started with one hive; this one is new.
  manager.Allocate(PageManager::kMaxAllocation);
  const InitMemAddress address = manager.Allocate(4096);
  ASSERT_EQ(address.hive(), 2);
  Stamp(manager.GetPoint(address), 4096, 0x5A0001);
  WriteTextFile(Path("address"), std::to_string(address.value()) + " 4096 " + std::to_string(0x5A0001));
  EXPECT_EQ(helper.Wait(), kPmDone);
}

TEST_F(PageManagerProcesses, HiveFilesWrittenByTwoProcessesReadBackTheSame) {
  std::vector<uint8_t> firstImage;
  std::vector<uint8_t> secondImage;
  {
    PageManager manager;
    Start(manager, true);
    // Nearly fills the first hive: the helper makes the second one.
    manager.Allocate(1048000);

    HelperProcess helper({"pm-write", Name(), FilePrefix(), "7", "100"});
    ASSERT_TRUE(helper.Started());
    ASSERT_EQ(helper.Wait(), kPmDone);
    // This process still holds the first hive: the helper did not write it.
    EXPECT_FALSE(std::filesystem::exists(Path("hive000d.dm2")));

    for (uint32_t i = 0; i < 100; ++i) {
      const InitMemAddress address = manager.Allocate(kPersistedBlockSize);
      Stamp(manager.GetPoint(address), kPersistedBlockSize, 3u << 24 | i);
    }
  }
  firstImage = ReadBytes(Path("hive000d.dm2"));
  secondImage = ReadBytes(Path("hive001d.dm2"));
  ASSERT_EQ(firstImage.size(), PageManager::kHiveSize);
  ASSERT_EQ(secondImage.size(), PageManager::kHiveSize);

  {
    PageManager manager;
    Start(manager, true);
    BlockCollector blocks;
    manager.Enumerate(blocks, false);
    // Both writers' blocks are there, each under its own stamp.
    std::map<uint32_t, int> found;  // owner -> blocks with an intact stamp
    for (size_t i = 0; i < blocks.addresses.size(); ++i) {
      if (blocks.sizes[i] != static_cast<int32_t>(kPersistedBlockSize)) continue;
      const void* block = manager.GetPoint(InitMemAddress(blocks.addresses[i]));
      const uint32_t owner = static_cast<const uint8_t*>(block)[3];
      for (uint32_t n = 0; n < 100; ++n) {
        if (HasStamp(block, kPersistedBlockSize, owner << 24 | n)) ++found[owner];
      }
    }
    EXPECT_EQ(found, (std::map<uint32_t, int>{{3, 100}, {7, 100}}));
  }
  // Reading changed nothing: the files are saved again with the same bytes.
  EXPECT_EQ(ReadBytes(Path("hive000d.dm2")), firstImage);
  EXPECT_EQ(ReadBytes(Path("hive001d.dm2")), secondImage);
}

}  // namespace
}  // namespace storage
