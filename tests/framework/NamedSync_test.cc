#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "base/NamedSync.h"

namespace storage {
namespace {

std::string UniqueName(const char* what) {
  return std::string("Local\\settingstore-test-namedsync-") + what + "-" + std::to_string(getpid());
}

TEST(NamedSync, EventReportsWhoCreatedItAndIsSharedByName) {
  std::string name = UniqueName("event");
  EventEx first(name.c_str());
  EXPECT_TRUE(first.Created());
  EXPECT_FALSE(first.Wait(0));
  {
    EventEx second(name.c_str());
    EXPECT_FALSE(second.Created());
    second.Set();
  }
  EXPECT_TRUE(first.Wait(0));
  EXPECT_TRUE(first.Wait(0xFFFFFFFF));
}

TEST(NamedSync, EventIsNewAgainOnceEveryHandleIsGone) {
  std::string name = UniqueName("event-again");
  {
    EventEx event(name.c_str());
    event.Set();
  }
  EventEx again(name.c_str());
  EXPECT_TRUE(again.Created());
  EXPECT_FALSE(again.Wait(0));
}

TEST(NamedSync, MutexExcludesOtherThreadsAndIsRecursive) {
  std::string name = UniqueName("mutex");
  Mutex mutex(false, name.c_str());
  std::atomic<bool> inside{false};
  mutex.Lock();
  mutex.Lock();
  std::thread other([&] {
    Mutex same(false, name.c_str());
    MutexGuard guard(same);
    inside = true;
  });
  mutex.Unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(inside);  // still held once
  mutex.Unlock();
  other.join();
  EXPECT_TRUE(inside);
}

}  // namespace
}  // namespace storage
