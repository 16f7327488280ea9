#include "shm/OwnerLock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "shm/helper/OwnerLockArea.h"
#include "storage/storage.h"
#include "support/HelperProcess.h"

namespace storage::owner {
namespace {

namespace platform = storage::platform;
using settingstore::test::HelperProcess;

std::string RegistrationName(uint32_t processId, uint32_t threadId) {
  char name[128];
  std::snprintf(name, sizeof name, "%s%08d%08d", kRegistrationPrefix, static_cast<int>(processId),
                static_cast<int>(threadId));
  return name;
}

// Whether the platform keeps the file of a "Local\" object whose name needs no escaping.
bool ObjectFileExists(const std::string& localName) {
  const std::string file = localName.substr(std::string("Local\\").size());
  return access(("/dev/shm/settingstore-" + std::to_string(geteuid()) + "/" + file).c_str(), F_OK) == 0;
}

// ---- One process -------------------------------------------------------------------

template <class Lock>
class OwnerLockTest : public testing::Test {
 protected:
  static constexpr uint32_t kFree = Lock::kFreeValue;
};

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
  const uint32_t freeWords[2] = {this->kFree, this->kFree};
  std::memcpy(bytes, freeWords, sizeof bytes);
  TypeParam& lock = *std::launder(reinterpret_cast<TypeParam*>(bytes));
  std::thread([&] { lock.Unlock(); }).join();
  ExpectWords(lock, this->kFree, this->kFree);
  const uint32_t me = platform::CurrentThreadId();
  for (uint32_t depth = 1; depth <= 3; ++depth) {
    lock.Lock(depth == 1 ? 1 : GetSpinCount());  // one attempt suffices on a free lock
    ExpectWords(lock, me, this->kFree + depth);
  }
  std::thread([&] { lock.Unlock(); }).join();
  ExpectWords(lock, me, this->kFree + 3);

  std::atomic<uint32_t> ownerSeenByWaiter{0};
  std::thread waiter([&] {
    OwnerLockGuard guard(lock);
    ownerSeenByWaiter = lock.Owner();
  });
  lock.Unlock();
  lock.Unlock();
  // Still held once: the waiter cannot have got it.
  ExpectWords(lock, me, this->kFree + 1);
  EXPECT_EQ(ownerSeenByWaiter, 0u);
  lock.Unlock();
  waiter.join();
  EXPECT_NE(ownerSeenByWaiter, 0u);
  EXPECT_NE(ownerSeenByWaiter, me);
  ExpectWords(lock, this->kFree, this->kFree);

  // The lock of an ended thread is taken over at depth one.
  uint32_t ended = 0;
  std::thread([&] {
    for (int depth = 0; depth < 3; ++depth) lock.Lock(GetSpinCount());
    ended = platform::CurrentThreadId();
  }).join();
  ExpectWords(lock, ended, this->kFree + 3);
  lock.Lock(GetSpinCount());
  ExpectWords(lock, platform::CurrentThreadId(), this->kFree + 1);
  lock.Unlock();
  ExpectWords(lock, this->kFree, this->kFree);
}

// ---- Several processes ---------------------------------------------------------

// Generous bounds: they only keep a broken lock from hanging the suite.
constexpr std::chrono::milliseconds kHelperLimit{60000};
constexpr uint32_t kSignalLimitMs = 5000;

class OwnerLockProcessesTest : public testing::Test {
 protected:
  void SetUp() override {
    name_ = "Local\\settingstore-owner-test-" + std::to_string(getpid()) + "-" +
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
    EXPECT_FALSE(ObjectFileExists(name_));
  }

  // Waits until the word becomes non-zero; false when it does not in time.
  template <class Word>
  static bool AwaitSet(Word& word) {
    const uint64_t deadline = platform::TickCountMs() + kSignalLimitMs;
    while (std::atomic_ref<Word>(word).load() == 0) {
      if (platform::TickCountMs() > deadline) return false;
      platform::SleepMs(1);
    }
    return true;
  }

  // No registration of any helper thread is left behind.
  void ExpectNoRegistrationLeft(const std::vector<pid_t>& helpers) {
    const uint32_t threads =
        std::min(std::atomic_ref<uint32_t>(area_->thread_count).load(), OwnerLockArea::kMaxThreads);
    for (uint32_t i = 0; i < threads; ++i) {
      const uint32_t threadId = area_->thread_ids[i];
      for (pid_t helper : helpers) {
        EXPECT_FALSE(ObjectFileExists(RegistrationName(helper, threadId))) << "thread " << threadId;
      }
    }
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
  std::vector<pid_t> pids;
  for (int p = 0; p < kProcesses; ++p) {
    helpers.push_back(std::make_unique<HelperProcess>(
        std::vector<std::string>{"owner-count", name_, std::to_string(kThreads), std::to_string(kIncrements)}));
    pids.push_back(helpers.back()->Pid());
  }
  for (auto& helper : helpers) EXPECT_EQ(helper->Wait(kHelperLimit), 0);

  EXPECT_EQ(area_->counter, static_cast<uint32_t>(kProcesses * kThreads * kIncrements));
  ExpectWords(area_->lock, 0xCCCCCCCCu, 0xCCCCCCCCu);
  EXPECT_EQ(area_->thread_count, static_cast<uint32_t>(kProcesses * kThreads));
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

  const uint64_t killedAt = platform::TickCountMs();
  holder.Kill();
  ASSERT_EQ(taker.Wait(kHelperLimit), 0);
  const uint64_t takeoverMs = std::atomic_ref<uint64_t>(area_->taken_at_ms).load() - killedAt;
  RecordProperty("takeover_ms", std::to_string(takeoverMs));
  EXPECT_LT(takeoverMs, kSignalLimitMs);
  ExpectWords(area_->lock, 0xCCCCCCCCu, 0xCCCCCCCCu);

  // A killed process cannot close its registration; the next process to come
  // up clears such leftovers. This one also finds the lock free.
  HelperProcess next({"owner-take", name_});
  ASSERT_EQ(next.Wait(kHelperLimit), 0);
  ExpectNoRegistrationLeft({holder.Pid(), taker.Pid(), next.Pid()});
}

}  // namespace
}  // namespace storage::owner
