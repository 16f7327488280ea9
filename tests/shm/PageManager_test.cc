// The page manager within one process: the hive chain, addresses, the limits,
// and the hive files with their heads and hash chain.
#include "shm/PageManager.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

#include "shm/PageManagerFixture.h"

namespace storage {
namespace {

using settingstore::test::AssertionOf;
using settingstore::test::BlockCollector;
using settingstore::test::FileHead;
using settingstore::test::Filled;
using settingstore::test::HasStamp;
using settingstore::test::HiveHead;
using settingstore::test::kHeadOffset;
using settingstore::test::kSegmentHeaderSize;
using settingstore::test::PageManagerTest;
using settingstore::test::PayloadHash;
using settingstore::test::ReadBytes;
using settingstore::test::ReadHead;
using settingstore::test::Stamp;
using settingstore::test::WhatOf;
using settingstore::test::WriteBytes;
using testing::HasSubstr;
using testing::Optional;

constexpr uint32_t kAll = PageManager::kMaxAllocation;

HiveHead LiveHead(PageManager& manager, int hive) {
  return ReadHead(manager.GetPoint(InitMemAddress(hive, static_cast<int>(kHeadOffset))));
}

std::vector<uint32_t> Walk(PageManager& manager, bool reverse) {
  BlockCollector blocks;
  EXPECT_TRUE(manager.Enumerate(blocks, reverse));
  return blocks.addresses;
}

// ---- The hive chain -----------------------------------------------------------

TEST_F(PageManagerTest, AFreshStorageHasOneHiveWithItsHeadAtTheTop) {
  PageManager manager;
  Start(manager);
  const HiveHead head = LiveHead(manager, 1);
  EXPECT_EQ(head.signature, "hivehead");
  EXPECT_EQ(head.last, 1u);
  EXPECT_EQ(head.hash, 0xCCCCCCCCu);
  EXPECT_TRUE(Filled(static_cast<char*>(manager.GetPoint(InitMemAddress(1, kHeadOffset))) + 16, 48, 0xCC));
  EXPECT_TRUE(Walk(manager, false).empty());  // the head is no client's block
  EXPECT_TRUE(SegmentExists("000d"));
  EXPECT_FALSE(SegmentExists("001d"));
}

TEST_F(PageManagerTest, BlocksComeFromTheFirstHiveFilledWithTheFreshPattern) {
  PageManager manager;
  Start(manager);
  const InitMemAddress address = manager.Allocate(16);
  EXPECT_EQ(address.hive(), 1);
  EXPECT_EQ(address.offset(), static_cast<int>(kHeadOffset - 16));
  EXPECT_TRUE(Filled(manager.GetPoint(address), 16, 0xCC));
  EXPECT_EQ(Walk(manager, false), std::vector<uint32_t>{address.value()});
  manager.Release(address);
  EXPECT_TRUE(Walk(manager, false).empty());

  EXPECT_EQ(manager.GetPoint(InitMemAddress()), nullptr);
  manager.Release(InitMemAddress());  // does nothing
  EXPECT_EQ(LiveHead(manager, 1).signature, "hivehead");
}

TEST_F(PageManagerTest, AStorageThatNeedsRoomGrowsAChainOfHives) {
  PageManager manager;
  Start(manager);
  // The largest request fills a fresh hive next to its head.
  const InitMemAddress first = manager.Allocate(kAll);
  EXPECT_EQ(first.hive(), 1);
  EXPECT_FALSE(SegmentExists("001d"));
  const InitMemAddress second = manager.Allocate(kAll);
  EXPECT_EQ(second.value() >> 24, 2u);
  EXPECT_EQ(LiveHead(manager, 1).last, 0u);
  const HiveHead head = LiveHead(manager, 2);
  EXPECT_EQ(head.signature, "hivehead");
  EXPECT_EQ(head.last, 1u);
  const InitMemAddress third = manager.Allocate(kAll);
  EXPECT_EQ(third.hive(), 3);
  EXPECT_TRUE(SegmentExists("001d"));
  EXPECT_TRUE(SegmentExists("002d"));
  EXPECT_EQ(LiveHead(manager, 2).last, 0u);
  EXPECT_EQ(LiveHead(manager, 3).last, 1u);

  // Room freed in an earlier hive is used before a new hive is made.
  manager.Release(second);
  EXPECT_EQ(manager.Allocate(kAll), second);
  EXPECT_FALSE(SegmentExists("003d"));
}

TEST_F(PageManagerTest, RefusesRequestsThatFitNoHive) {
  PageManager manager;
  Start(manager);
  for (uint32_t size : {1048577u, kAll + 1, 0xFFFFFFFFu}) {
    EXPECT_THAT(WhatOf<BadAllocException>([&] { manager.Allocate(size); }),
                Optional(std::string("The requested size is too big")));
  }
  EXPECT_FALSE(SegmentExists("001d"));  // no hive was made for them
}

TEST_F(PageManagerTest, MakesNoHiveBeyondNumber127) {
  PageManager manager;
  Start(manager);
  constexpr uint32_t kOnePerHive = 600000;
  InitMemAddress last;
  for (int hive = 1; hive <= 127; ++hive) last = manager.Allocate(kOnePerHive);
  ASSERT_EQ(last.hive(), 127);
  Stamp(manager.GetPoint(last), 64, 127);
  EXPECT_TRUE(HasStamp(manager.GetPoint(last), 64, 127));
  EXPECT_THAT(WhatOf<BadAllocException>([&] { manager.Allocate(kOnePerHive); }),
              Optional(std::string("Not enough memory to load next hive")));
  // Room given back in the last hive is found again.
  manager.Release(last);
  EXPECT_EQ(manager.Allocate(kOnePerHive), last);
}

TEST_F(PageManagerTest, GetPointKeepsToTheHive) {
  PageManager manager;
  Start(manager);
  EXPECT_NE(manager.GetPoint(InitMemAddress(1, 1048511)), nullptr);
  EXPECT_THROW(manager.GetPoint(InitMemAddress(1, 1048512)), storage::InternalStructureException);
  EXPECT_THROW(manager.GetPoint(InitMemAddress(0x01800000u)), storage::InternalStructureException);
}

TEST_F(PageManagerTest, EnumerationVisitsClientBlocksInHiveOrder) {
  PageManager manager;
  Start(manager);
  const InitMemAddress a = manager.Allocate(1040000);
  const InitMemAddress big = manager.Allocate(1000000);  // no room left in the first hive
  const InitMemAddress b = manager.Allocate(20);         // but for this
  ASSERT_EQ(big.hive(), 2);
  ASSERT_EQ(b.hive(), 1);
  EXPECT_EQ(Walk(manager, false), (std::vector<uint32_t>{a.value(), b.value(), big.value()}));
  EXPECT_EQ(Walk(manager, true), (std::vector<uint32_t>{big.value(), b.value(), a.value()}));

  BlockCollector sizes;
  manager.Enumerate(sizes, false);
  EXPECT_EQ(sizes.sizes, (std::vector<int32_t>{1040000, 20, 1000000}));

  BlockCollector stopper;
  stopper.stopAfter = 1;
  EXPECT_FALSE(manager.Enumerate(stopper, false));
  EXPECT_EQ(stopper.addresses, std::vector<uint32_t>{a.value()});
}

TEST_F(PageManagerTest, ReleaseRefusesWhatIsNoClientBlock) {
  PageManager manager;
  Start(manager);
  EXPECT_THAT(WhatOf<BadAllocException>([&] { manager.Release(InitMemAddress(1, kHeadOffset)); }),
              Optional(std::string("Released block not found is this hive")));
  EXPECT_EQ(LiveHead(manager, 1).signature, "hivehead");
  const InitMemAddress block = manager.Allocate(8);
  manager.Release(block);
  EXPECT_THAT(WhatOf<BadAllocException>([&] { manager.Release(block); }),
              Optional(std::string("Released block not found is this hive")));
  EXPECT_THAT(WhatOf<std::out_of_range>([&] { manager.Release(InitMemAddress(0x00000010u)); }),
              Optional(std::string("NonBlockVector: out of bounds")));
}

// ---- Addresses that name no hive ----------------------------------------------

TEST_F(PageManagerTest, AnAddressThatNamesNoHiveMarksTheStorageDead) {
  struct Case {
    uint32_t address;  // beyond the chain of two hives, hive 0, or a negative hive number
    bool release;      // used through Release rather than GetPoint
  };
  for (const Case& c : {Case{0x0C000010u, false}, Case{0x00000010u, false}, Case{0x80000010u, true},
                        Case{0xFF000010u, false}}) {
    SCOPED_TRACE(c.address);
    PageManager manager;
    Start(manager);
    // Memory-only hives end with their last user: each start is a fresh one.
    EXPECT_EQ(LiveHead(manager, 1).signature, "hivehead");
    manager.Allocate(kAll);
    manager.Allocate(kAll);
    const InitMemAddress address(c.address);
    if (c.release) {
      EXPECT_TRUE(WhatOf<InternalStructureException>([&] { manager.Release(address); }).has_value());
    } else {
      EXPECT_THAT(WhatOf<InternalStructureException>([&] { manager.GetPoint(address); }),
                  Optional(HasSubstr("storage::PageManager::GetPoint")));
    }
    EXPECT_EQ(LiveHead(manager, 1).signature, "deadhive");
    EXPECT_EQ(LiveHead(manager, 2).signature, "hivehead");

    PageManager next;
    EXPECT_THAT(WhatOf<InternalStructureException>([&] { Start(next); }),
                Optional(HasSubstr("MemoryInitializeEnumerator::MemoryBlock")));
  }
}

// Links read without a reference may hold anything: TryGetPoint refuses what
// lies outside the chain instead of taking the storage for damaged.
TEST_F(PageManagerTest, TryGetPointRefusesAddressesOutsideTheChainAndMarksNothing) {
  PageManager manager;
  Start(manager);
  const InitMemAddress block = manager.Allocate(64);
  EXPECT_EQ(manager.TryGetPoint(block, 64), manager.GetPoint(block));
  const uint32_t hiveSize = PageManager::kHiveSize;
  for (const InitMemAddress& address :
       {InitMemAddress(0x0C000010u), InitMemAddress(0x00000010u), InitMemAddress(0xFF000010u),
        InitMemAddress((1u << 24) | hiveSize), InitMemAddress((1u << 24) | (hiveSize - 8)),
        InitMemAddress(block.value() + 1)}) {
    SCOPED_TRACE(address.value());
    EXPECT_EQ(manager.TryGetPoint(address, 16), nullptr);
  }
  EXPECT_EQ(LiveHead(manager, 1).signature, "hivehead");
}

// ---- Several page managers on one storage --------------------------------------

TEST_F(PageManagerTest, HivesThatAnotherManagerAddedAreLoadedOnDemand) {
  PageManager first;
  Start(first);
  // These stand in for other processes: each has loaded the first hive only.
  PageManager second;
  Start(second);
  PageManager third;
  Start(third);
  first.Allocate(kAll);
  const InitMemAddress inSecond = first.Allocate(kAll);
  const InitMemAddress inThird = first.Allocate(kAll);
  ASSERT_EQ(inThird.hive(), 3);
  Stamp(first.GetPoint(inSecond), 64, 2);

  EXPECT_TRUE(HasStamp(second.GetPoint(inSecond), 64, 2));
  third.Release(inThird);
  EXPECT_EQ(Walk(first, false).size(), 2u);
  // A request that finds no room in the hives it knows takes the chained
  // ones rather than making a hive of its own.
  EXPECT_EQ(second.Allocate(kAll), inThird);
  EXPECT_FALSE(SegmentExists("003d"));
}

TEST_F(PageManagerTest, ThreadsThatGrowTheChainAtOnceAppendEachHiveOnce) {
  PageManager manager;
  Start(manager);
  constexpr int kThreads = 4;
  std::vector<InitMemAddress> addresses(kThreads);
  std::atomic<int> ready{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      addresses[t] = manager.Allocate(600000);  // one such block per hive
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<int> hives;
  for (const InitMemAddress& address : addresses) hives.insert(address.hive());
  EXPECT_EQ(hives, (std::set<int>{1, 2, 3, 4}));
  EXPECT_EQ(Walk(manager, false).size(), static_cast<size_t>(kThreads));
  EXPECT_FALSE(SegmentExists("004d"));

  PageManager other;
  Start(other);
  EXPECT_EQ(Walk(other, false), Walk(manager, false));
}

TEST_F(PageManagerTest, RefusesPrefixesWhoseNamesWouldNotFit) {
  // A hive file name adds "000d.dm2" and must fit 256 bytes with its end.
  const std::string longPath = (std::filesystem::temp_directory_path() / std::string(300, 'p')).string();
  const std::string filePrefix = longPath.substr(0, 248);
  PageManager manager;
  const auto failure =
      AssertionOf([&] { settingstore::test::StartPageManager(manager, Name(), filePrefix); });
  ASSERT_TRUE(failure.has_value());
  EXPECT_EQ(failure->Message(), "Maximum filename size is 256");
  EXPECT_EQ(failure->Function(), "storage::PageManager::Initialize");
  EXPECT_FALSE(SegmentExists("000d"));  // refused before anything was opened

  PageManager named;
  const std::string longName = Name() + std::string(252 - Name().size(), 'n');
  EXPECT_TRUE(AssertionOf([&] { settingstore::test::StartPageManager(named, longName, ""); }).has_value());
}

// ---- Hive files ---------------------------------------------------------------

// A file-backed storage of two hives, with a stamped block in each, closed.
class PageManagerFileTest : public PageManagerTest {
 protected:
  // The stamped part of each block.
  static constexpr uint32_t kStamped = 4096;

  void WriteTwoHives() {
    PageManager manager;
    Start(manager, true);
    first_ = manager.Allocate(600000);
    second_ = manager.Allocate(600000);
    ASSERT_EQ(second_.hive(), 2);
    Stamp(manager.GetPoint(first_), kStamped, 0x11);
    Stamp(manager.GetPoint(second_), kStamped, 0x22);
  }

  InitMemAddress first_;
  InitMemAddress second_;
};

TEST_F(PageManagerFileTest, TheLastCloserWritesEachHiveWithHeadsAndAHashChain) {
  WriteTwoHives();
  EXPECT_FALSE(std::filesystem::exists(Path("hive002d.dm2")));
  const std::vector<uint8_t> first = ReadBytes(Path("hive000d.dm2"));
  const std::vector<uint8_t> second = ReadBytes(Path("hive001d.dm2"));
  ASSERT_EQ(first.size(), PageManager::kHiveSize);
  ASSERT_EQ(second.size(), PageManager::kHiveSize);

  const HiveHead firstHead = FileHead(first);
  EXPECT_EQ(firstHead.signature, "hivehead");
  EXPECT_EQ(firstHead.last, 0u);
  EXPECT_EQ(firstHead.hash, PayloadHash(second));
  const HiveHead secondHead = FileHead(second);
  EXPECT_EQ(secondHead.signature, "hivehead");
  EXPECT_EQ(secondHead.last, 1u);
  EXPECT_EQ(secondHead.hash, 0xCCCCCCCCu);

  PageManager reopened;
  Start(reopened, true);
  EXPECT_EQ(Walk(reopened, false), (std::vector<uint32_t>{first_.value(), second_.value()}));
  EXPECT_TRUE(HasStamp(reopened.GetPoint(first_), kStamped, 0x11));
  EXPECT_TRUE(HasStamp(reopened.GetPoint(second_), kStamped, 0x22));
}

TEST_F(PageManagerFileTest, DamagedOrMissingHiveFilesAreRefused) {
  WriteTwoHives();
  const std::vector<uint8_t> first = ReadBytes(Path("hive000d.dm2"));
  const std::vector<uint8_t> second = ReadBytes(Path("hive001d.dm2"));
  const auto startFails = [&](const std::vector<uint8_t>& firstImage, const std::vector<uint8_t>& secondImage,
                              auto expectFailure) {
    WriteBytes(Path("hive000d.dm2"), firstImage);
    if (secondImage.empty()) {
      std::filesystem::remove(Path("hive001d.dm2"));
    } else {
      WriteBytes(Path("hive001d.dm2"), secondImage);
    }
    PageManager manager;
    expectFailure([&] { Start(manager, true); });
  };
  const auto checksum = [](auto start) { EXPECT_TRUE(WhatOf<ChecksumException>(start).has_value()); };

  std::vector<uint8_t> flipped = second;
  flipped[kSegmentHeaderSize + 1000] ^= 0x01;
  startFails(first, flipped, checksum);
  flipped = first;
  flipped[first.size() - 1] ^= 0x80;
  startFails(flipped, second, checksum);

  startFails(first, std::vector<uint8_t>(second.begin(), second.begin() + 1000),
             [](auto start) { EXPECT_TRUE(WhatOf<LoadHiveException>(start).has_value()); });

  // Each file is sound on its own, but the second is not the one that the
  // first hive's head describes.
  std::vector<uint8_t> replaced = second;
  replaced[kSegmentHeaderSize + 1000] ^= 0x01;
  const uint32_t checksumWord = PayloadHash(replaced);
  std::memcpy(replaced.data() + 8, &checksumWord, 4);
  startFails(first, replaced, checksum);

  startFails(first, {}, [](auto start) {
    EXPECT_THAT(WhatOf<InternalStructureException>(start), Optional(HasSubstr("Next hive not found")));
  });

  // The untouched pair still loads.
  WriteBytes(Path("hive001d.dm2"), second);
  PageManager manager;
  Start(manager, true);
  EXPECT_TRUE(HasStamp(manager.GetPoint(second_), kStamped, 0x22));
}

TEST_F(PageManagerFileTest, HivesThatOthersHoldLiveAreNotCheckedAgainstTheChain) {
  WriteTwoHives();
  PageManager first;
  Start(first, true);
  // The second hive changes: its hash no longer matches the word in the first head.
  Stamp(first.GetPoint(second_), kStamped, 0x33);
  PageManager second;
  Start(second, true);
  EXPECT_TRUE(HasStamp(second.GetPoint(second_), kStamped, 0x33));
}

TEST_F(PageManagerFileTest, ADeadStorageStaysDeadAfterItIsSaved) {
  WriteTwoHives();
  {
    PageManager manager;
    Start(manager, true);
    EXPECT_TRUE(WhatOf<InternalStructureException>([&] {
                  manager.GetPoint(InitMemAddress(0x0C000010u));
                }).has_value());
  }
  EXPECT_EQ(FileHead(ReadBytes(Path("hive000d.dm2"))).signature, "deadhive");
  PageManager manager;
  EXPECT_TRUE(WhatOf<InternalStructureException>([&] { Start(manager, true); }).has_value());
}

}  // namespace
}  // namespace storage
