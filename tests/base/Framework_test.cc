#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "NamesEnumerator.h"
#include "framework/Exceptions.h"
#include "framework/Logger.h"
#include "framework/NamedSync.h"
#include "storage/ref.h"
#include "toolkit/AThread.h"
#include "toolkit/Mutex.h"

namespace storage {
namespace {

TEST(Exceptions, CodesHaveTheirOwnTextsAndFamiliesCatchThroughTheirBases) {
  std::set<std::string> texts;
  for (int32_t code : {-1, -2, -3, -4, -5, -6, -7, -10, -11, -13, -14}) {
    std::string text = Exception(code).GetErrorString();
    EXPECT_EQ(text.find("unknown"), std::string::npos) << code;
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), 11u);
  EXPECT_STREQ(Exception(-8).GetErrorString(), "unknown storage error -8");
  EXPECT_STREQ(Exception(42).GetErrorString(), "unknown storage error 42");
  EXPECT_THROW(throw NotEmptyException(-6), DeleteException);
  EXPECT_THROW(throw MarkToDeleteException(-1), IOException);
  EXPECT_THROW(throw ChecksumException(), TechnicalException);
  EXPECT_EQ(ExternalException(5).GetCode(), 5);
  EXPECT_NO_THROW(STORAGE_ASSERT(1 + 1 == 2, "file", "f", nullptr));
  EXPECT_THROW(STORAGE_ASSERT(false, "file", "f", "boom"), AssertException);
}

std::vector<std::pair<logger::Level, std::string>> g_logged;

TEST(Logger, OnlyEnabledLevelsReachTheSinkCutToTheBuffer) {
  logger::SetSink([](logger::Level level, const char* message) { g_logged.emplace_back(level, message); });
  logger::error("code %u", 8u);
  logger::info("dropped");
  logger::SetLevel(logger::LEVEL_DEBUG);
  logger::debug("%s", std::string(5000, 'x').c_str());
  logger::SetSink(nullptr);
  logger::SetLevel(logger::LEVEL_ERROR);
  ASSERT_EQ(g_logged.size(), 2u);
  EXPECT_EQ(g_logged[0], std::make_pair(logger::LEVEL_ERROR, std::string("code 8")));
  EXPECT_EQ(g_logged[1], std::make_pair(logger::LEVEL_DEBUG, std::string(1023, 'x')));
}

// Locks twice, starts a thread that must wait for the lock, and checks that it
// gets in only after the second unlock.
void ExpectRecursiveAndExclusive(const std::function<void()>& lock, const std::function<void()>& unlock,
                                 const std::function<void(std::atomic<bool>&)>& enterElsewhere) {
  std::atomic<bool> entered{false};
  lock();
  lock();
  std::thread other([&] { enterElsewhere(entered); });
  unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  EXPECT_FALSE(entered);  // still held once
  unlock();
  other.join();
  EXPECT_TRUE(entered);
}

TEST(Sync, MutexesAreRecursiveForTheHolderAndExcludeOthers) {
  veltool3::Mutex local;
  ExpectRecursiveAndExclusive([&] { local.lock(); }, [&] { local.unlock(); }, [&](std::atomic<bool>& entered) {
    veltool3::MutexGuard guard(local);
    entered = true;
  });
  const std::string name = "Local\\settingstore-test-base-mutex-" + std::to_string(getpid());
  Mutex named(false, name.c_str());
  ExpectRecursiveAndExclusive([&] { named.Lock(); }, [&] { named.Unlock(); }, [&](std::atomic<bool>& entered) {
    Mutex same(false, name.c_str());  // another handle on the same mutex
    MutexGuard guard(same);
    entered = true;
  });
}

TEST(Sync, NamedEventsAreSharedByNameUntilTheLastHandleGoes) {
  const std::string name = "Local\\settingstore-test-base-event-" + std::to_string(getpid());
  {
    EventEx first(name.c_str());
    EXPECT_TRUE(first.Created());
    EXPECT_FALSE(first.Wait(0));
    EventEx second(name.c_str());
    EXPECT_FALSE(second.Created());
    second.Set();
    EXPECT_TRUE(first.Wait(0));
    EXPECT_TRUE(first.Wait(0xFFFFFFFF));
  }
  EventEx again(name.c_str());
  EXPECT_TRUE(again.Created());
  EXPECT_FALSE(again.Wait(0));
}

// Counts its runs; with deleteItself, ends as a fire-and-forget job does.
class CountingThread : public veltool3::AThread {
 public:
  CountingThread(std::atomic<int>& runs, bool deleteItself) : runs_(runs), deleteItself_(deleteItself) {}

 protected:
  int run() override {
    std::atomic<int>& runs = runs_;
    if (deleteItself_) delete this;
    runs.fetch_add(1);
    runs.notify_all();
    return 0;
  }

 private:
  std::atomic<int>& runs_;
  bool deleteItself_;
};

TEST(Sync, ThreadsRunTheirBodyOnceElsewhere) {
  std::atomic<int> runs{0};
  CountingThread thread(runs, false);
  EXPECT_TRUE(thread.setPriority(1));  // kept until the thread begins
  EXPECT_TRUE(thread.start());
  EXPECT_FALSE(thread.start());
  runs.wait(0);
  EXPECT_TRUE((new CountingThread(runs, true))->start());
  runs.wait(1);
  EXPECT_EQ(runs, 2);
}

TEST(NamesEnumerator, WalksCopiesInAddedOrderAndStaysPastTheEndUntilReset) {
  std::string changing = "Width";
  Ref<NamesEnumerator> enumerator(new NamesEnumerator);
  for (const char* name : {changing.c_str(), "", "height", "Width"}) enumerator->add(name);
  changing = "changed";
  EXPECT_THROW(enumerator->add(nullptr), std::invalid_argument);
  const std::vector<std::string> kNames{"Width", "", "height", "Width"};
  for (int walk = 0; walk < 2; ++walk, enumerator->Reset()) {
    EXPECT_THROW(enumerator->Current(), std::logic_error);  // before the first Next
    std::vector<std::string> seen;
    while (enumerator->Next()) seen.emplace_back(enumerator->Current());
    EXPECT_EQ(seen, kNames);
    for (int i = 0; i < 3; ++i) {
      EXPECT_FALSE(enumerator->Next());
      EXPECT_THROW(enumerator->Current(), std::logic_error);
    }
  }
  ASSERT_TRUE(enumerator->Next());
  const char* first = enumerator->Current();
  enumerator->Reset();
  ASSERT_TRUE(enumerator->Next());
  EXPECT_EQ(enumerator->Current(), first);  // the same text, valid for the enumerator's life
  EXPECT_EQ(enumerator->AddRef(), 2);
  EXPECT_EQ(enumerator->Release(), 1);
}

}  // namespace
}  // namespace storage
