#include "shm/PageMemoryManager.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "shm/SegmentTestSupport.h"
#include "shm/helper/PageMemoryChurn.h"
#include "storage/storage.h"
#include "support/HelperProcess.h"

namespace storage {
namespace {

using settingstore::test::ChurnBlocks;
using settingstore::test::ChurnResult;
using settingstore::test::HelperProcess;
using settingstore::test::kChurnSegmentSize;
using settingstore::test::MemorySegment;
using settingstore::test::SegmentPtr;

constexpr uint32_t kNull = PageMemoryManager::kNullOffset;
constexpr char kSource[] = "Utils\\Shared\\PageMemoryManager";

// A hive area on the heap. reportedSize, when given, is what it claims to hold.
class HeapSegment : public SharedRegion {
 public:
  explicit HeapSegment(uint32_t size, uint32_t reportedSize = 0)
      : words_(size / 4), size_(reportedSize != 0 ? reportedSize : size) {}

  void Unlock() override {}
  void* GetData() override { return words_.data(); }
  uint32_t GetDataSize() override { return size_; }
  void Release() override {}  // owned by the test
  void Close() override {}

  uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(words_.data()); }
  std::vector<uint8_t> Snapshot() { return std::vector<uint8_t>(Bytes(), Bytes() + size_); }
  uint32_t Word(uint32_t at) { return std::atomic_ref<uint32_t>(words_[at / 4]).load(); }
  void SetWord(uint32_t at, uint32_t value) { std::atomic_ref<uint32_t>(words_[at / 4]).store(value); }

  uint32_t Carved() { return Word(4); }
  uint32_t Entries() { return Word(8); }
  uint32_t OffsetOf(uint32_t k) { return Word(20 + 16 * k); }
  uint32_t TagOf(uint32_t k) { return Word(24 + 16 * k); }
  uint32_t LockOwnerOf(uint32_t k) { return Word(28 + 16 * k); }
  // Counts a descriptor whose words are not written yet, as a carve in flight does.
  void AddUnwrittenDescriptor() { SetWord(8, Entries() + 1); }

  bool Filled(uint32_t offset, uint32_t length, uint8_t value) {
    for (uint32_t i = 0; i < length; ++i) {
      if (Bytes()[offset + i] != value) return false;
    }
    return true;
  }

 private:
  std::vector<uint32_t> words_;
  uint32_t size_;
};

// A segment with a manager attached for the test's length.
struct Hive {
  explicit Hive(uint32_t size) : segment(size) { manager.Attach(&segment); }
  ~Hive() { manager.Detach(); }
  HeapSegment segment;
  PageMemoryManager manager;
};

struct Block {
  uint32_t offset;
  int32_t size;
  bool operator==(const Block&) const = default;
};

class Collector : public PageMemoryManager::MemoryBlockVisitor {
 public:
  bool MemoryBlock(const uint32_t& offset, int32_t size) override {
    blocks.push_back({offset, size});
    return onBlock ? onBlock(blocks.back()) : true;
  }
  std::vector<Block> blocks;
  std::function<bool(const Block&)> onBlock;
};

std::vector<Block> Walk(PageMemoryManager& manager, bool reverse) {
  Collector collector;
  EXPECT_TRUE(manager.Enumerate(collector, reverse));
  return collector.blocks;
}

template <class Call>
AssertException AssertionOf(Call call) {
  try {
    call();
  } catch (const AssertException& failure) {
    return failure;
  }
  ADD_FAILURE() << "no assertion failure";
  return AssertException("", "", 0, nullptr);
}

template <class Call>
std::string BadAllocOf(Call call) {
  try {
    call();
  } catch (const BadAllocException& failure) {
    return failure.what();
  }
  return "no BadAllocException";
}

// ---- Attaching ----------------------------------------------------------------

TEST(PageMemoryManagerAttach, FormatsANewAreaOrOneThatHoldsTheFill) {
  for (uint8_t initial : {0x00, 0xCC}) {
    HeapSegment segment(4096);
    std::memset(segment.Bytes(), initial, 4096);
    PageMemoryManager manager;
    manager.Attach(&segment);
    EXPECT_EQ(segment.Word(0), 0x00010001u);
    EXPECT_EQ(segment.Carved(), 0u);
    EXPECT_EQ(segment.Entries(), 0u);
    // The hive lock and everything behind it read as the fill: free and null.
    EXPECT_TRUE(segment.Filled(12, 4096 - 12, 0xCC));
    manager.Detach();
  }
}

TEST(PageMemoryManagerAttach, AnotherManagerSeesTheSameHive) {
  Hive hive(4096);
  const uint32_t offset = hive.manager.Allocate(10);
  std::memcpy(hive.manager.GetPoint(offset), "keep this", 10);

  PageMemoryManager second;
  second.Attach(&hive.segment);
  EXPECT_STREQ(static_cast<const char*>(second.GetPoint(offset)), "keep this");
  EXPECT_EQ(Walk(second, false), (std::vector<Block>{{offset, 10}}));
  const uint32_t next = second.Allocate(4);
  EXPECT_EQ(next, offset - 4);
  EXPECT_EQ(second.Detach(), &hive.segment);
  EXPECT_EQ(Walk(hive.manager, false).size(), 2u);
}

TEST(PageMemoryManagerAttach, RefusesAnUnknownVersionAndStaysDetached) {
  for (uint32_t version : {0x00010002u, 0x00020001u, 1u, 0xDDDDDDDDu}) {
    HeapSegment segment(256);
    std::memset(segment.Bytes(), 0x5A, 256);
    segment.SetWord(0, version);
    const std::vector<uint8_t> before = segment.Snapshot();
    PageMemoryManager manager;
    const AssertException failure = AssertionOf([&] { manager.Attach(&segment); });
    EXPECT_EQ(failure.Message(), "Unavailable version!");
    EXPECT_EQ(failure.Function(), "storage::PageMemoryManager::initialize");
    EXPECT_EQ(failure.File(), kSource);
    EXPECT_EQ(segment.Snapshot(), before) << std::hex << version;
    AssertionOf([&] { manager.Detach(); });
  }
}

TEST(PageMemoryManagerAttach, RefusesAreasOfAGibibyteOrMore) {
  // The size alone is refused: the area behind it is never touched.
  HeapSegment segment(64, PageMemoryManager::kMaxHiveSize);
  PageMemoryManager manager;
  const AssertException failure = AssertionOf([&] { manager.Attach(&segment); });
  EXPECT_EQ(failure.Message(), "Maximum hive size is 1073741824 bytes!");
  EXPECT_EQ(failure.Function(), "storage::PageMemoryManager::Attach");
  EXPECT_TRUE(segment.Filled(0, 64, 0));
  AssertionOf([&] { manager.Detach(); });
}

TEST(PageMemoryManagerAttach, MisuseIsAnAssertionFailure) {
  HeapSegment segment(256);
  HeapSegment other(256);
  PageMemoryManager manager;
  EXPECT_EQ(AssertionOf([&] { manager.Attach(nullptr); }).Function(), "storage::PageMemoryManager::Attach");
  EXPECT_EQ(AssertionOf([&] { manager.Detach(); }).Function(), "storage::PageMemoryManager::Dettach");
  EXPECT_EQ(AssertionOf([&] { manager.Allocate(4); }).Function(),
            "storage::PageMemoryManager::allocateAtUnmappedPart");
  EXPECT_EQ(AssertionOf([&] { manager.Release(20); }).Function(), "storage::PageMemoryManager::Release");
  AssertionOf([&] { manager.GetPoint(0); });
  Collector collector;
  AssertionOf([&] { manager.Enumerate(collector, false); });

  manager.Attach(&segment);
  const AssertException twice = AssertionOf([&] { manager.Attach(&other); });
  EXPECT_EQ(twice.Function(), "storage::PageMemoryManager::Attach");
  EXPECT_FALSE(twice.HasMessage());
  EXPECT_EQ(AssertionOf([&] { manager.Release(kNull); }).Function(), "storage::PageMemoryManager::Release");
  EXPECT_EQ(manager.Detach(), &segment);
  EXPECT_TRUE(other.Filled(0, 256, 0));
}

TEST(PageMemoryManagerAttach, DestroyingAnAttachedManagerIsAnAssertionFailure) {
  HeapSegment segment(256);
  const AssertException failure = AssertionOf([&] {
    PageMemoryManager manager;
    manager.Attach(&segment);
  });
  EXPECT_EQ(failure.Function(), "storage::PageMemoryManager::~PageMemoryManager");
  EXPECT_EQ(failure.File(), kSource);
}

// ---- Allocating ----------------------------------------------------------------

TEST(PageMemoryManagerAllocate, CarvesWordRoundedBlocksFromTheTop) {
  Hive hive(4096);
  const uint32_t empty = hive.manager.Allocate(0);
  const uint32_t five = hive.manager.Allocate(5);
  const uint32_t word = hive.manager.Allocate(8);
  EXPECT_EQ(empty, 4096u - 4);
  EXPECT_EQ(five, 4096u - 4 - 8);
  EXPECT_EQ(word, 4096u - 4 - 8 - 8);
  EXPECT_EQ(hive.segment.Carved(), 20u);
  EXPECT_EQ(hive.segment.Entries(), 3u);
  // The tag keeps the size asked for, a request for nothing counting as 1.
  EXPECT_EQ(hive.segment.TagOf(0), 0xC0000001u);
  EXPECT_EQ(hive.segment.TagOf(1), 0xC0000005u);
  EXPECT_EQ(hive.segment.OffsetOf(1), five);
  EXPECT_EQ(Walk(hive.manager, false), (std::vector<Block>{{empty, 1}, {five, 5}, {word, 8}}));
  EXPECT_TRUE(hive.segment.Filled(word, 20, 0xCC));
}

TEST(PageMemoryManagerAllocate, ReusesAReleasedBlockOnlyWhenCarvingFails) {
  Hive hive(512);
  const uint32_t first = hive.manager.Allocate(16);
  hive.manager.Release(first);
  // Fresh space comes first, as long as there is any.
  std::vector<uint32_t> carved;
  for (uint32_t offset = hive.manager.Allocate(16); offset != first; offset = hive.manager.Allocate(16)) {
    ASSERT_NE(offset, kNull);
    ASSERT_LT(offset, first);
    carved.push_back(offset);
    ASSERT_LT(carved.size(), 32u);
  }
  // Each block takes 16 bytes and a 16-byte descriptor: 32 * 9 + 16 + 196 < 512.
  EXPECT_EQ(carved.size(), 9u);
  EXPECT_EQ(hive.manager.Allocate(16), kNull);

  // A reused block is filled anew and records the new size asked for.
  std::memset(hive.manager.GetPoint(carved[2]), 0x11, 16);
  hive.manager.Release(carved[2]);
  EXPECT_TRUE(hive.segment.Filled(carved[2], 16, 0xDD));
  EXPECT_EQ(hive.manager.Allocate(13), carved[2]);
  EXPECT_TRUE(hive.segment.Filled(carved[2], 16, 0xCC));
  EXPECT_EQ(hive.segment.TagOf(3), 0xC000000Du);
}

TEST(PageMemoryManagerAllocate, NeverHandsOutAFreeBlockOfAnotherSize) {
  Hive hive(512);
  const uint32_t large = hive.manager.Allocate(64);
  hive.manager.Release(large);
  // Another size carves while there is room...
  const uint32_t small = hive.manager.Allocate(16);
  EXPECT_EQ(small, large - 16);
  while (hive.manager.Allocate(16) != kNull) {
  }
  // ...and gets nothing once there is none, however large the free block.
  EXPECT_EQ(hive.manager.Allocate(16), kNull);
  EXPECT_EQ(hive.manager.Allocate(60), kNull);
  EXPECT_EQ(hive.manager.Allocate(68), kNull);
  EXPECT_EQ(hive.manager.Allocate(61), large);
}

TEST(PageMemoryManagerAllocate, KeepsMoreThan160BytesBetweenTableAndBlocks) {
  Hive hive(1048512);
  const uint32_t head = hive.manager.Allocate(64);
  EXPECT_EQ(head, 1048448u);
  EXPECT_EQ(hive.manager.Allocate(1048236), kNull);
  EXPECT_EQ(hive.segment.Carved(), 64u);
  EXPECT_EQ(hive.segment.Entries(), 1u);
  const uint32_t rest = hive.manager.Allocate(1048232);
  EXPECT_EQ(rest, 216u);  // 20 + 2 * 16 + 160 < 216
  EXPECT_EQ(hive.manager.Allocate(0), kNull);
}

TEST(PageMemoryManagerAllocate, RequestsNoHiveCanHoldGetNothing) {
  Hive hive(4096);
  for (uint32_t size : {4096u, 0x0CCCCCCCu, 0x20000000u, 0xFFFFFFFDu, 0xFFFFFFFFu}) {
    EXPECT_EQ(hive.manager.Allocate(size), kNull) << std::hex << size;
  }
  EXPECT_EQ(hive.segment.Carved(), 0u);
  EXPECT_EQ(hive.segment.Entries(), 0u);
}

TEST(PageMemoryManagerAllocate, GetPointStaysInsideTheArea) {
  Hive hive(4096);
  EXPECT_EQ(hive.manager.GetPoint(4095), hive.segment.Bytes() + 4095);
  EXPECT_EQ(hive.manager.GetPoint(0), hive.segment.Bytes());
  // Offsets come from shared links: one outside the area is a damaged structure.
  EXPECT_THROW(hive.manager.GetPoint(4096), storage::InternalStructureException);
  EXPECT_THROW(hive.manager.GetPoint(kNull), storage::InternalStructureException);
}

// ---- Releasing -----------------------------------------------------------------

TEST(PageMemoryManagerRelease, FillsTheBlockAndMarksItFree) {
  Hive hive(4096);
  const uint32_t upper = hive.manager.Allocate(4);
  const uint32_t block = hive.manager.Allocate(5);
  const uint32_t lower = hive.manager.Allocate(4);
  std::memset(hive.manager.GetPoint(lower), 0x22, 4);
  hive.manager.Release(block);
  EXPECT_TRUE(hive.segment.Filled(block, 8, 0xDD));
  EXPECT_TRUE(hive.segment.Filled(upper, 4, 0xCC));
  EXPECT_TRUE(hive.segment.Filled(lower, 4, 0x22));
  EXPECT_EQ(hive.segment.TagOf(1), 0x40000008u);
  EXPECT_EQ(hive.segment.LockOwnerOf(1), 0xCCCCCCCCu);
  EXPECT_EQ(Walk(hive.manager, false), (std::vector<Block>{{upper, 4}, {lower, 4}}));
}

TEST(PageMemoryManagerRelease, RefusesBlocksNotInUseAndChangesNothing) {
  Hive hive(4096);
  const uint32_t kept = hive.manager.Allocate(8);
  const uint32_t freed = hive.manager.Allocate(8);
  const uint32_t claimed = hive.manager.Allocate(8);
  hive.manager.Release(freed);
  hive.segment.SetWord(24 + 16 * 2, 0x80000000u | 1234);  // a reuse claim in flight
  hive.segment.AddUnwrittenDescriptor();                  // a carve in flight, offset not yet set
  hive.segment.AddUnwrittenDescriptor();                  // one whose offset is set, tag not yet
  const uint32_t carving = claimed - 8;
  hive.segment.SetWord(20 + 16 * 4, carving);
  const std::vector<uint8_t> before = hive.segment.Snapshot();

  for (uint32_t offset : {freed, claimed, carving, kept + 4, 100u, 0u}) {
    EXPECT_EQ(BadAllocOf([&] { hive.manager.Release(offset); }), "Released block not found is this hive")
        << offset;
    EXPECT_EQ(hive.segment.Snapshot(), before) << offset;
  }
  hive.manager.Release(kept);
  EXPECT_TRUE(hive.segment.Filled(kept, 8, 0xDD));
}

TEST(PageMemoryManagerRelease, FindsBlocksAroundADescriptorThatWasNeverWritten) {
  Hive hive(4096);
  const uint32_t upper = hive.manager.Allocate(4);
  hive.segment.AddUnwrittenDescriptor();  // its carve never got to write it
  const uint32_t lower = hive.manager.Allocate(8);
  EXPECT_EQ(hive.segment.OffsetOf(2), lower);
  hive.manager.Release(upper);
  hive.manager.Release(lower);
  EXPECT_TRUE(hive.segment.Filled(upper, 4, 0xDD));
  EXPECT_TRUE(hive.segment.Filled(lower, 8, 0xDD));
  for (uint32_t offset : {upper, lower, lower + 4}) {
    EXPECT_EQ(BadAllocOf([&] { hive.manager.Release(offset); }), "Released block not found is this hive");
  }
}

// ---- Enumerating ---------------------------------------------------------------

TEST(PageMemoryManagerEnumerate, WalksBlocksInUseInTableOrderOrReversedUntilToldToStop) {
  Hive hive(4096);
  const uint32_t a = hive.manager.Allocate(1);
  const uint32_t b = hive.manager.Allocate(7);
  const uint32_t c = hive.manager.Allocate(12);
  hive.manager.Release(b);
  // Carves in flight are skipped: a descriptor not written yet, one with its offset only.
  hive.segment.AddUnwrittenDescriptor();
  hive.segment.AddUnwrittenDescriptor();
  hive.segment.SetWord(20 + 16 * 4, c - 16);
  EXPECT_EQ(Walk(hive.manager, false), (std::vector<Block>{{a, 1}, {c, 12}}));
  EXPECT_EQ(Walk(hive.manager, true), (std::vector<Block>{{c, 12}, {a, 1}}));
  for (bool reverse : {false, true}) {
    Collector collector;
    collector.onBlock = [](const Block&) { return false; };
    EXPECT_FALSE(hive.manager.Enumerate(collector, reverse));
    EXPECT_EQ(collector.blocks, (std::vector<Block>{reverse ? Block{c, 12} : Block{a, 1}}));
  }
}

TEST(PageMemoryManagerEnumerate, ForwardWalkSeesBlocksCarvedMeanwhileReverseDoesNot) {
  Hive hive(4096);
  const uint32_t first = hive.manager.Allocate(4);
  for (bool reverse : {false, true}) {
    uint32_t added = kNull;
    Collector collector;
    collector.onBlock = [&](const Block&) {
      if (added == kNull) std::thread([&] { added = hive.manager.Allocate(24); }).join();
      return true;
    };
    EXPECT_TRUE(hive.manager.Enumerate(collector, reverse));
    if (reverse) {
      EXPECT_EQ(collector.blocks, (std::vector<Block>{{first, 4}}));
    } else {
      EXPECT_EQ(collector.blocks, (std::vector<Block>{{first, 4}, {added, 24}}));
    }
    hive.manager.Release(added);
  }
}

TEST(PageMemoryManagerEnumerate, FreesTheBlockLockWhenTheEnumeratorThrows) {
  Hive hive(4096);
  const uint32_t a = hive.manager.Allocate(4);
  Collector collector;
  collector.onBlock = [&](const Block&) -> bool {
    EXPECT_NE(hive.segment.LockOwnerOf(0), 0xCCCCCCCCu);  // held during the call
    throw std::runtime_error("enumerator failed");
  };
  EXPECT_THROW(hive.manager.Enumerate(collector, false), std::runtime_error);
  EXPECT_EQ(hive.segment.LockOwnerOf(0), 0xCCCCCCCCu);
  EXPECT_EQ(hive.segment.Word(32), 0xCCCCCCCCu);
  std::thread([&] { hive.manager.Release(a); }).join();
  EXPECT_TRUE(Walk(hive.manager, false).empty());
}

// ---- Threads of one process ------------------------------------------------------

// Runs call(i) on each of n threads, started together.
void RunTogether(uint32_t n, const std::function<void(uint32_t)>& call) {
  std::atomic<uint32_t> ready{0};
  std::vector<std::thread> threads;
  for (uint32_t i = 0; i < n; ++i) {
    threads.emplace_back([&, i] {
      ready.fetch_add(1);
      while (ready.load() < n) std::this_thread::yield();
      call(i);
    });
  }
  for (std::thread& thread : threads) thread.join();
}

TEST(PageMemoryManagerThreads, ExactlyOneThreadWinsAReusedBlock) {
  Hive hive(1024);
  std::vector<uint32_t> blocks;
  for (uint32_t offset = hive.manager.Allocate(16); offset != kNull; offset = hive.manager.Allocate(16)) {
    blocks.push_back(offset);
  }
  uint32_t spare = blocks[blocks.size() / 2];
  for (int round = 0; round < 30; ++round) {
    hive.manager.Release(spare);
    uint32_t results[3];
    RunTogether(3, [&](uint32_t i) { results[i] = hive.manager.Allocate(14); });
    uint32_t winners = 0;
    for (uint32_t result : results) {
      if (result == kNull) continue;
      ++winners;
      EXPECT_EQ(result, spare);
    }
    ASSERT_EQ(winners, 1u) << "round " << round;
  }
}

TEST(PageMemoryManagerThreads, ABlockReleasedTwiceAtOnceIsFreedOnce) {
  Hive hive(1024);
  for (int round = 0; round < 30; ++round) {
    const uint32_t block = hive.manager.Allocate(16);
    std::atomic<uint32_t> refused{0};
    RunTogether(3, [&](uint32_t) {
      try {
        hive.manager.Release(block);
      } catch (const BadAllocException&) {
        refused.fetch_add(1);
      }
    });
    ASSERT_EQ(refused.load(), 2u) << "round " << round;
  }
  EXPECT_TRUE(Walk(hive.manager, false).empty());
}

TEST(PageMemoryManagerThreads, ChurningThreadsNeverShareABlock) {
  Hive hive(2048);
  ChurnResult results[4];
  std::atomic<uint32_t> refusals{0};
  RunTogether(4, [&](uint32_t i) {
    try {
      results[i] = ChurnBlocks(hive.manager, 3000, i + 1);
    } catch (const BadAllocException&) {
      refusals.fetch_add(1);  // a release of a block that was no longer ours
    }
  });
  EXPECT_EQ(refusals.load(), 0u);
  uint32_t allocations = 0;
  for (const ChurnResult& result : results) {
    EXPECT_EQ(result.dirtyBlocks, 0u);
    EXPECT_EQ(result.damagedStamps, 0u);
    allocations += result.allocations;
  }
  // The small hive ran out of fresh space, so blocks were reused many times.
  EXPECT_GT(allocations, hive.segment.Entries() * 4);
  EXPECT_TRUE(Walk(hive.manager, false).empty());
  for (uint32_t k = 0; k < hive.segment.Entries(); ++k) {
    EXPECT_EQ(hive.segment.TagOf(k) & 0xC0000000u, 0x40000000u) << k;
    EXPECT_EQ(hive.segment.LockOwnerOf(k), 0xCCCCCCCCu) << k;
  }
}

// ---- Several processes -----------------------------------------------------------

TEST(PageMemoryManagerProcesses, FourProcessesOfTwoThreadsShareOneHive) {
  const std::string name = "Local\\settingstore-pmm-test-" + std::to_string(platform::CurrentProcessId());
  const std::string startName = name + "-start";
  SegmentPtr<MemorySegment> segment(new MemorySegment);
  ASSERT_TRUE(segment->Open(name.c_str(), kChurnSegmentSize));
  PageMemoryManager manager;
  manager.Attach(segment.get());
  segment->Unlock();
  const std::unique_ptr<platform::NamedEvent> start = platform::NamedEvent::Create(startName.c_str());
  ASSERT_NE(start, nullptr);

  std::vector<std::unique_ptr<HelperProcess>> helpers;
  for (uint32_t p = 0; p < 4; ++p) {
    helpers.push_back(std::make_unique<HelperProcess>(
        std::vector<std::string>{"pmm-churn", name, startName, "20000", std::to_string(1 + 2 * p)}));
  }
  start->Set();
  for (auto& helper : helpers) EXPECT_EQ(helper->Wait(), 0);

  // Everything was given back, and no claim or carve was left half done.
  Collector collector;
  EXPECT_TRUE(manager.Enumerate(collector, false));
  EXPECT_TRUE(collector.blocks.empty());
  auto* words = static_cast<uint32_t*>(segment->GetData());
  const uint32_t entries = words[2];
  EXPECT_GT(entries, 0u);
  for (uint32_t k = 0; k < entries; ++k) {
    EXPECT_EQ(words[6 + 4 * k] & 0xC0000000u, 0x40000000u) << k;
  }
  manager.Detach();
}

}  // namespace
}  // namespace storage
