#include "shm/OwnerLock.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "shm/SegmentTestSupport.h"
#include "shm/helper/OwnerLockArea.h"
#include "storage/storage.h"
#include "support/HelperProcess.h"

namespace storage::owner {
namespace {

namespace platform = storage::platform;
using settingstore::test::HelperProcess;
#ifndef _WIN32
using settingstore::test::NamedObjectsStartingWith;
#endif
using settingstore::test::WaitUntil;

// ---- One process -------------------------------------------------------------------

template <class Lock>
class OwnerLockTest : public testing::Test {};

template <class Lock>
void ExpectWords(const Lock& lock, uint32_t owner, uint32_t count) {
  EXPECT_EQ(lock.Owner(), owner);
  EXPECT_EQ(lock.Count(), count);
}

using LockKinds = testing::Types<OwnerLock, ZeroFreeOwnerLock>;
TYPED_TEST_SUITE(OwnerLockTest, LockKinds);

// Memory filled with the free value (a fresh mapping or block) is a free lock;
// it nests for its holder, only the holder's unlocks count, and an ended
// holder's lock is taken over.
TYPED_TEST(OwnerLockTest, FilledMemoryIsFreeNestsForItsHolderAndOutlivesIt) {
  alignas(TypeParam) unsigned char bytes[sizeof(TypeParam)];
  const uint32_t freeWords[2] = {TypeParam::kFreeValue, TypeParam::kFreeValue};
  std::memcpy(bytes, freeWords, sizeof bytes);
  TypeParam& lock = *std::launder(reinterpret_cast<TypeParam*>(bytes));
  std::thread([&] { lock.Unlock(); }).join();
  ExpectWords(lock, TypeParam::kFreeValue, TypeParam::kFreeValue);
  const uint32_t me = platform::CurrentThreadId();
  for (uint32_t depth = 1; depth <= 3; ++depth) {
    lock.Lock(depth == 1 ? 1 : GetSpinCount());  // one attempt suffices on a free lock
    ExpectWords(lock, me, TypeParam::kFreeValue + depth);
  }
  std::thread([&] { lock.Unlock(); }).join();
  ExpectWords(lock, me, TypeParam::kFreeValue + 3);

  std::atomic<uint32_t> ownerSeenByWaiter{0};
  std::thread waiter([&] {
    OwnerLockGuard guard(lock);
    ownerSeenByWaiter = lock.Owner();
  });
  lock.Unlock();
  lock.Unlock();
  // Still held once: the waiter cannot have got it.
  ExpectWords(lock, me, TypeParam::kFreeValue + 1);
  lock.Unlock();
  waiter.join();
  EXPECT_NE(ownerSeenByWaiter, 0u);
  EXPECT_NE(ownerSeenByWaiter, me);
  ExpectWords(lock, TypeParam::kFreeValue, TypeParam::kFreeValue);

  // The lock of an ended thread is taken over at depth one.
  uint32_t ended = 0;
  std::thread([&] {
    for (int depth = 0; depth < 3; ++depth) lock.Lock(GetSpinCount());
    ended = platform::CurrentThreadId();
  }).join();
  ExpectWords(lock, ended, TypeParam::kFreeValue + 3);
  lock.Lock(GetSpinCount());
  ExpectWords(lock, platform::CurrentThreadId(), TypeParam::kFreeValue + 1);
  lock.Unlock();
  ExpectWords(lock, TypeParam::kFreeValue, TypeParam::kFreeValue);
}

// ---- Several processes ---------------------------------------------------------

// A generous bound: it only keeps a broken lock from hanging the suite.
constexpr std::chrono::milliseconds kHelperLimit{60000};

class OwnerLockProcessesTest : public testing::Test {
 protected:
  void SetUp() override {
    name_ = "Local\\settingstore-owner-test-" + std::to_string(platform::CurrentProcessId()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name();
    mapping_ = platform::NamedMapping::Create(name_.c_str(), sizeof(OwnerLockArea));
    ASSERT_NE(mapping_, nullptr);
    ASSERT_EQ(platform::GetLastError(), platform::kErrorSuccess);
    void* view = mapping_->Map();
    ASSERT_NE(view, nullptr);
    area_ = new (view) OwnerLockArea();
  }

  void TearDown() override {
    mapping_.reset();
#ifndef _WIN32
    EXPECT_EQ(NamedObjectsStartingWith(name_.substr(6)), 0);
#endif
  }

  static bool AwaitSet(uint32_t& word) {
    return WaitUntil([&] { return std::atomic_ref<uint32_t>(word).load() != 0; });
  }

  // No registration of any helper's threads is left behind.
  static void ExpectNoRegistrationLeft([[maybe_unused]] const std::vector<int>& helpers) {
#ifndef _WIN32
    for (int helper : helpers) {
      char start[128];
      std::snprintf(start, sizeof start, "%s%08d", kRegistrationPrefix + 6, static_cast<int>(helper));
      EXPECT_EQ(NamedObjectsStartingWith(start), 0) << "process " << helper;
    }
#endif
  }

  std::string name_;
  std::unique_ptr<platform::NamedMapping> mapping_;
  OwnerLockArea* area_ = nullptr;
};

TEST_F(OwnerLockProcessesTest, FourProcessesOfTwoThreadsCountExactly) {
  constexpr int kProcesses = 4;
  constexpr int kThreads = 2;
  constexpr int kIncrements = 20000;
  std::vector<std::unique_ptr<HelperProcess>> helpers;
  std::vector<int> pids;
  for (int p = 0; p < kProcesses; ++p) {
    helpers.push_back(std::make_unique<HelperProcess>(
        std::vector<std::string>{"owner-count", name_, std::to_string(kThreads), std::to_string(kIncrements)}));
    pids.push_back(helpers.back()->Pid());
  }
  for (auto& helper : helpers) EXPECT_EQ(helper->Wait(kHelperLimit), 0);

  EXPECT_EQ(area_->counter, static_cast<uint32_t>(kProcesses * kThreads * kIncrements));
  ExpectWords(area_->lock, 0xCCCCCCCCu, 0xCCCCCCCCu);
  ExpectNoRegistrationLeft(pids);
}

TEST_F(OwnerLockProcessesTest, LockOfAKilledProcessIsTakenOverByAnother) {
  HelperProcess holder({"owner-hold", name_});
  ASSERT_TRUE(AwaitSet(area_->holder));
  EXPECT_TRUE(GlobalRegistrator::IsRegistered(area_->holder));

  HelperProcess taker({"owner-take", name_});
  ASSERT_TRUE(AwaitSet(area_->taker_waiting));
  // The taker cannot have it while the holder lives.
  EXPECT_EQ(area_->lock.Owner(), area_->holder);

  holder.Kill();
  ASSERT_EQ(taker.Wait(kHelperLimit), 0);
  ExpectWords(area_->lock, 0xCCCCCCCCu, 0xCCCCCCCCu);

  // A killed process cannot close its registration; the next process to come
  // up clears such leftovers. This one also finds the lock free.
  HelperProcess next({"owner-take", name_});
  ASSERT_EQ(next.Wait(kHelperLimit), 0);
  ExpectNoRegistrationLeft({holder.Pid(), taker.Pid(), next.Pid()});
}

}  // namespace
}  // namespace storage::owner
