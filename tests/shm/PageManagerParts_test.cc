// The small pieces under the page manager: addresses, the hive list, the
// pointers that resolve blocks, and the configurators.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <stdexcept>
#include <thread>
#include <vector>

#include "shm/HivePointer.h"
#include "shm/InitMemAddress.h"
#include "shm/MemoryConfigurator.h"
#include "shm/NonBlockVector.h"
#include "shm/PageManagerFixture.h"
#include "shm/SharedPointer.h"

namespace storage {
namespace {

using settingstore::test::AssertionOf;
using settingstore::test::BlockCollector;
using settingstore::test::HasStamp;
using settingstore::test::PageManagerTest;
using settingstore::test::Stamp;
using settingstore::test::WhatOf;

TEST(InitMemAddress, PutsTheHiveNumberAboveTheOffset) {
  EXPECT_EQ(InitMemAddress(1, 0x10).value(), 0x01000010u);
  EXPECT_EQ(InitMemAddress(2, 0xFFF00).value(), 0x020FFF00u);
  EXPECT_EQ(InitMemAddress(127, 1048575).value(), 0x7F0FFFFFu);
  const InitMemAddress address(2, 0xFFF00);
  EXPECT_EQ(address.hive(), 2);
  EXPECT_EQ(address.offset(), 0xFFF00);
  EXPECT_TRUE(InitMemAddress().isNull());
  EXPECT_EQ(InitMemAddress().value(), 0xCCCCCCCCu);
}

TEST(InitMemAddress, RefusesHiveZeroAndOffsetsBeyondAHive) {
  for (auto [hive, offset] : {std::pair{0, 0x10}, {257, 0}, {1, 1048576}, {1, -1}}) {
    const auto failure = AssertionOf([&] { InitMemAddress(hive, offset); });
    ASSERT_TRUE(failure.has_value()) << hive << " " << offset;
    EXPECT_EQ(failure->Function(), "storage::InitMemAddress::InitMemAddress");
    EXPECT_FALSE(failure->HasMessage());
  }
}

TEST(InitMemAddress, ReadsTheHiveNumberAsASignedByte) {
  // Hive numbers from 128 up come back negative, so that they name no hive.
  EXPECT_EQ(InitMemAddress(0x80000010u).hive(), -128);
  EXPECT_EQ(InitMemAddress(0xCCCCCCCCu).hive(), -52);
  EXPECT_EQ(InitMemAddress(0x0C000010u).hive(), 12);
  // The offset is sign-extended from bit 23: it then fails every bounds check.
  EXPECT_EQ(InitMemAddress(0x01800000u).offset(), -8388608);
  EXPECT_EQ(InitMemAddress(0x017FFFFFu).offset(), 0x7FFFFF);
}

TEST(NonBlockVector, KeepsElementsInOrderAndRefusesIndexesPastTheEnd) {
  NonBlockVector<int> list;
  EXPECT_EQ(list.size(), 0u);
  EXPECT_THAT(WhatOf<std::out_of_range>([&] { list.at(0); }),
              testing::Optional(std::string("NonBlockVector: out of bounds")));
  for (int i = 0; i < 5; ++i) list.push_back(i * 10);
  EXPECT_EQ(list.size(), 5u);
  EXPECT_EQ(list.at(0), 0);
  EXPECT_EQ(list.at(4), 40);
  int& kept = list.at(2);
  list.push_back(50);
  EXPECT_EQ(&kept, &list.at(2));  // appending never moves an element
  EXPECT_TRUE(WhatOf<std::out_of_range>([&] { list.at(6); }).has_value());
  EXPECT_TRUE(WhatOf<std::out_of_range>([&] { list.at(0xFFFFFFFFu); }).has_value());
}

TEST(NonBlockVector, ConcurrentAppendsKeepEveryElementOnce) {
  NonBlockVector<int> list;
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::atomic<bool> readerFailed{false};
  std::atomic<bool> done{false};
  // A reader that walks what the count promises while the writers append.
  std::thread reader([&] {
    while (!done.load()) {
      const uint32_t seen = list.size();
      try {
        if (seen > 0) list.at(seen - 1);
      } catch (const std::logic_error&) {
        readerFailed = true;
      }
      std::this_thread::yield();
    }
  });
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) list.push_back(t * kEach + i);
    });
  }
  for (std::thread& writer : writers) writer.join();
  done = true;
  reader.join();
  EXPECT_FALSE(readerFailed.load());
  ASSERT_EQ(list.size(), static_cast<uint32_t>(kThreads * kEach));
  std::vector<int> all;
  for (uint32_t i = 0; i < list.size(); ++i) all.push_back(list.at(i));
  std::sort(all.begin(), all.end());
  std::vector<int> expected(kThreads * kEach);
  std::iota(expected.begin(), expected.end(), 0);
  EXPECT_EQ(all, expected);
}

TEST(HivePointer, WithoutAManagerItCannotResolve) {
  EXPECT_THAT(WhatOf<std::runtime_error>([] { HivePointer().get(); }),
              testing::Optional(std::string("PageMemoryManager is null!")));
}

TEST(MemoryConfigurator, NullPointersGiveEmptyStrings) {
  BasicMemoryConfigurator configurator(nullptr, nullptr);
  EXPECT_EQ(configurator.getName(), "");
  EXPECT_EQ(configurator.getPath(), "");
  BasicMemoryConfigurator named("Local\\N", "/d/f");
  EXPECT_EQ(named.getName(), "Local\\N");
  EXPECT_EQ(named.getPath(), "/d/f");
}

// A configurator's target that records how far the start had come when it
// was called.
struct StartTarget {
  void OnMemManagerInitialized() {
    ++calls;
    BlockCollector blocks;
    manager->Enumerate(blocks, false);
    blocksSeen = blocks.addresses;
  }
  PageManager* manager = nullptr;
  int calls = 0;
  std::vector<uint32_t> blocksSeen;
};
using PageManagerConfigurator = PageManagerTest;

TEST_F(PageManagerConfigurator, TargetIsCalledOnceAfterTheLastHiveIsLoaded) {
  PageManager first;
  Start(first);
  first.Allocate(PageManager::kMaxAllocation);
  const InitMemAddress third = first.Allocate(PageManager::kMaxAllocation);
  ASSERT_EQ(third.hive(), 2);
  const InitMemAddress inThird = first.Allocate(PageManager::kMaxAllocation);
  ASSERT_EQ(inThird.hive(), 3);

  PageManager second;
  StartTarget target;
  target.manager = &second;
  MemoryConfigurator<StartTarget> configurator(&target, Name().c_str(), nullptr);
  second.Initialize(&configurator);
  EXPECT_EQ(target.calls, 1);
  // The block in the third hive was there to see: every hive was loaded.
  EXPECT_EQ(target.blocksSeen.size(), 3u);
  EXPECT_NE(std::find(target.blocksSeen.begin(), target.blocksSeen.end(), inThird.value()),
            target.blocksSeen.end());
}

TEST_F(PageManagerConfigurator, StartsOfOneStorageRunOneAtATime) {
  // Threads stand in for processes here: the creation lock is per thread.
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  struct SlowTarget {
    void OnMemManagerInitialized() {
      if (inside->fetch_add(1) != 0) ++*overlaps;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      inside->fetch_sub(1);
    }
    std::atomic<int>* inside;
    std::atomic<int>* overlaps;
  };
  std::vector<std::thread> threads;
  std::vector<std::unique_ptr<PageManager>> managers;
  for (int i = 0; i < 3; ++i) managers.push_back(std::make_unique<PageManager>());
  for (int i = 0; i < 3; ++i) {
    threads.emplace_back([&, i] {
      SlowTarget target{&inside, &overlaps};
      MemoryConfigurator<SlowTarget> configurator(&target, Name().c_str(), "");
      managers[i]->Initialize(&configurator);
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(overlaps.load(), 0);
}

using SharedPointerTest = PageManagerTest;

TEST_F(SharedPointerTest, ResolvesThroughItsSlotOnFirstUse) {
  PageManager manager;
  Start(manager);
  const InitMemAddress address = manager.Allocate(16);
  Stamp(manager.GetPoint(address), 16, 77);

  PageManager* slot = nullptr;
  SharedPointer pointer(&slot, address);
  // The slot may be filled after the pointer was made.
  slot = &manager;
  EXPECT_TRUE(HasStamp(pointer.get(), 16, 77));
  EXPECT_EQ(pointer.get(), manager.GetPoint(address));

  const InitMemAddress other = manager.Allocate(16);
  pointer.assign(other);
  EXPECT_EQ(pointer.address(), other);
  EXPECT_EQ(pointer.get(), manager.GetPoint(other));
  pointer.assign(InitMemAddress());
  EXPECT_EQ(pointer.get(), nullptr);
}

TEST(SharedPointer, WithoutASlotItRefusesToWork) {
  EXPECT_THAT(WhatOf<std::runtime_error>([] { SharedPointer(nullptr, InitMemAddress(1, 4)); }),
              testing::Optional(std::string("MemoryManager is null!")));
  SharedPointer empty;
  EXPECT_THAT(WhatOf<std::runtime_error>([&] { empty.get(); }),
              testing::Optional(std::string("MemoryManager is null!")));
  EXPECT_THAT(WhatOf<std::logic_error>([&] { empty.assign(InitMemAddress(1, 4)); }),
              testing::Optional(std::string("Memory manager is not applied")));
}

}  // namespace
}  // namespace storage
