#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "base/Mutex.h"
#include "base/Thread.h"

namespace veltool3 {
namespace {

TEST(Mutex, HolderMayLockAgainOthersWait) {
  Mutex mutex;
  mutex.lock();
  mutex.lock();
  std::atomic<bool> entered{false};
  std::thread other([&] {
    MutexGuard guard(mutex);
    entered = true;
  });
  mutex.unlock();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(entered);  // still held once
  mutex.unlock();
  other.join();
  EXPECT_TRUE(entered);
}

class SignallingThread : public Thread {
 public:
  std::atomic<int> runs{0};
  std::atomic<bool> done{false};

 protected:
  int run() override {
    ++runs;
    done = true;
    done.notify_all();
    return 0;
  }
};

TEST(Thread, StartRunsTheBodyOnceOnAnotherThread) {
  SignallingThread thread;
  EXPECT_TRUE(thread.setPriority(1));  // kept until the thread begins
  EXPECT_TRUE(thread.start());
  EXPECT_FALSE(thread.start());
  thread.done.wait(false);
  EXPECT_EQ(thread.runs, 1);
}

// A body that deletes its own object, as a fire-and-forget job does.
class SelfDeletingThread : public Thread {
 public:
  explicit SelfDeletingThread(std::atomic<int>* finished) : finished_(finished) {}
  ~SelfDeletingThread() override {
    finished_->fetch_add(1);
    finished_->notify_all();
  }

 protected:
  int run() override {
    delete this;
    return 0;
  }

 private:
  std::atomic<int>* finished_;
};

TEST(Thread, BodyMayDeleteItsObject) {
  std::atomic<int> finished{0};
  auto* thread = new SelfDeletingThread(&finished);
  EXPECT_TRUE(thread->start());
  finished.wait(0);
  EXPECT_EQ(finished, 1);
}

}  // namespace
}  // namespace veltool3
