// Named mutexes: creation and opening, recursion, ownership, abandonment by
// ending threads and killed processes, and the reclaiming of their objects.
#include <dirent.h>

#include <latch>
#include <thread>

#include "platform/NamedObjectTestSupport.h"
#include "platform/Platform.h"

namespace storage::platform {
namespace {

using testing::HelperProcess;

class NamedMutexTest : public testing::NamedObjectTest {};

// Runs `body` on a thread of its own and waits for it to end.
template <typename Body>
void OnOtherThread(Body body) {
  std::thread(body).join();
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* listing = opendir("/proc/self/fd")) {
    while (readdir(listing) != nullptr) ++count;
    closedir(listing);
  }
  return count;
}

TEST_F(NamedMutexTest, ReportsNewThenExistingAndIsGoneWithItsLastHandle) {
  std::string name = Name("m");
  auto first = NamedMutex::Create(name.c_str(), false);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  auto second = NamedMutex::Create(name.c_str(), false);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  auto opened = NamedMutex::Open(name.c_str());
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);

  first.reset();
  second.reset();
  EXPECT_TRUE(FileExists("m"));
  opened.reset();
  EXPECT_FALSE(FileExists("m"));
  EXPECT_EQ(NamedMutex::Open(name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

TEST_F(NamedMutexTest, OwnerMayWaitAgainAndMustReleaseAsOften) {
  auto mutex = NamedMutex::Create(Name("m").c_str(), true);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);
  EXPECT_EQ(mutex->Wait(kInfinite), WaitResult::kAcquired);
  for (int level = 0; level < 3; ++level) {
    OnOtherThread([&] { EXPECT_EQ(mutex->Wait(0), WaitResult::kTimedOut); });
    EXPECT_TRUE(mutex->Release());
  }
  EXPECT_FALSE(mutex->Release());
  EXPECT_EQ(GetLastError(), kErrorNotOwner);
  OnOtherThread([&] {
    EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);
    EXPECT_TRUE(mutex->Release());
  });
}

TEST_F(NamedMutexTest, OnlyTheOwnerReleasesAndOthersTimeOut) {
  std::string name = Name("m");
  auto mutex = NamedMutex::Create(name.c_str(), true);
  ASSERT_NE(mutex, nullptr);
  OnOtherThread([&] {
    EXPECT_FALSE(mutex->Release());
    EXPECT_EQ(GetLastError(), kErrorNotOwner);
    EXPECT_EQ(mutex->Wait(30), WaitResult::kTimedOut);
    // Initial ownership is only for whoever creates the mutex.
    auto existing = NamedMutex::Create(name.c_str(), true);
    ASSERT_NE(existing, nullptr);
    EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
    EXPECT_FALSE(existing->Release());
  });
  EXPECT_TRUE(mutex->Release());
}

TEST_F(NamedMutexTest, ThreadEndingWhileOwningLeavesItAbandoned) {
  auto mutex = NamedMutex::Create(Name("m").c_str(), false);
  ASSERT_NE(mutex, nullptr);
  OnOtherThread([&] { EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired); });
  EXPECT_EQ(mutex->Wait(1000), WaitResult::kAbandoned);
  EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);
  EXPECT_TRUE(mutex->Release());
  EXPECT_TRUE(mutex->Release());
  EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);  // no longer abandoned
  EXPECT_TRUE(mutex->Release());
}

// Threads that register as the owner lock does: a mutex created owned, whose
// handle a thread-local slot closes when the thread ends.
TEST_F(NamedMutexTest, ObjectsOfEndedThreadsDoNotPileUp) {
  static int slot = TlsAlloc([](void* handle) { delete static_cast<NamedMutex*>(handle); });
  ASSERT_GE(slot, 0);
  std::string keeperName = Name("keeper");
  auto keeper = NamedMutex::Create(keeperName.c_str(), false);  // the name space is in use from here
  int descriptorsBefore = OpenDescriptors();
  for (int thread = 0; thread < 40; ++thread) {
    std::string name = Name("t" + std::to_string(thread));
    OnOtherThread([&] {
      auto mutex = NamedMutex::Create(name.c_str(), true);
      ASSERT_NE(mutex, nullptr);
      ASSERT_TRUE(TlsSetValue(slot, mutex.release()));
    });
  }
  // Whatever the last thread left goes with the next use of any object.
  NamedMutex::Open(keeperName.c_str()).reset();
  EXPECT_TRUE(testing::FilesStartingWith(testing::LocalObjectDirectory(), Stem() + "t").empty());
  EXPECT_EQ(OpenDescriptors(), descriptorsBefore);
}

TEST_F(NamedMutexTest, ClosingTheLastHandleDestroysItEvenWhileOwned) {
  std::string name = Name("m");
  std::latch closed(1);
  std::latch checked(1);
  std::thread owner([&] {
    auto mutex = NamedMutex::Create(name.c_str(), true);
    EXPECT_NE(mutex, nullptr);
    mutex.reset();
    closed.count_down();
    checked.wait();
  });
  closed.wait();
  EXPECT_FALSE(FileExists("m"));
  auto fresh = NamedMutex::Create(name.c_str(), false);
  ASSERT_NE(fresh, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_EQ(fresh->Wait(0), WaitResult::kAcquired);
  EXPECT_TRUE(fresh->Release());
  checked.count_down();
  owner.join();
}

// The thread's handle is closed before it ends (as a thread-local slot's
// cleanup does): the other process must still see the mutex abandoned.
TEST_F(NamedMutexTest, OwnerThreadThatClosedItsHandleStillLeavesItAbandoned) {
  std::string name = Name("m");
  std::latch created(1);
  std::latch opened(1);
  std::thread owner([&] {
    auto mutex = NamedMutex::Create(name.c_str(), true);
    EXPECT_NE(mutex, nullptr);
    created.count_down();
    opened.wait();
  });
  created.wait();
  HelperProcess waiter({"wait", name});
  EXPECT_EQ(waiter.ReadLine(), "0");
  waiter.WriteLine("0");
  EXPECT_EQ(waiter.ReadLine(), "2");  // timed out: owned
  opened.count_down();
  owner.join();
  waiter.WriteLine("1000");
  EXPECT_EQ(waiter.ReadLine(), "1");  // abandoned
  EXPECT_EQ(waiter.Finish(), 0);
}

TEST_F(NamedMutexTest, KilledOwnerProcessLeavesItAbandoned) {
  std::string name = Name("m");
  HelperProcess holder({"hold", "mutex", name});
  ASSERT_EQ(holder.ReadLine().substr(0, 2), "0 ");
  auto mutex = NamedMutex::Open(name.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(mutex->Wait(0), WaitResult::kTimedOut);
  holder.Kill();
  EXPECT_EQ(mutex->Wait(1000), WaitResult::kAbandoned);
  EXPECT_TRUE(mutex->Release());
}

TEST_F(NamedMutexTest, OwnerProcessEndingNormallyLeavesItAbandoned) {
  std::string name = Name("m");
  HelperProcess holder({"hold", "mutex", name});
  ASSERT_EQ(holder.ReadLine().substr(0, 2), "0 ");
  auto mutex = NamedMutex::Open(name.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(holder.Finish(), 0);
  EXPECT_EQ(mutex->Wait(1000), WaitResult::kAbandoned);
  EXPECT_TRUE(mutex->Release());
}

}  // namespace
}  // namespace storage::platform
