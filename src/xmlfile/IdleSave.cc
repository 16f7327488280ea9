#include "xmlfile/IdleSave.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include "platform/Platform.h"

namespace storage {

namespace {

constexpr threads::PriorityLevel kIdlePriority = 1;

// Counts the saves that have not finished yet.
class RunningSaves {
 public:
  void Add() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++count_;
  }
  void Remove() {
    std::lock_guard<std::mutex> guard(mutex_);
    if (--count_ == 0) idle_.notify_all();
  }
  void WaitUntilNone() {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return count_ == 0; });
  }
  bool WaitUntilNone(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mutex_);
    return idle_.wait_for(lock, limit, [this] { return count_ == 0; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable idle_;
  int count_ = 0;
};

// Never destroyed: a save may still finish while the process exits.
RunningSaves& Running() {
  static auto* running = new RunningSaves;
  return *running;
}

}  // namespace

IdleSave::IdleSave(std::string path, std::string text, std::string modeReference)
    : path_(std::move(path)), text_(std::move(text)), modeReference_(std::move(modeReference)) {}

void IdleSave::Start(std::string path, std::string text, std::string modeReference) {
  auto* save = new IdleSave(std::move(path), std::move(text), std::move(modeReference));
  Running().Add();
  // The level is set before start(): once started, the object belongs to its
  // thread, which may already have deleted it.
  save->SetPriority(kIdlePriority);
  if (!save->Launch()) {
    delete save;
    Running().Remove();
  }
}

void IdleSave::WaitUntilIdle() { Running().WaitUntilNone(); }

bool IdleSave::WaitUntilIdle(uint32_t milliseconds) {
  return Running().WaitUntilNone(std::chrono::milliseconds(milliseconds));
}

int IdleSave::Run() {
  // Replaced atomically: a crash during the copy must not leave a torn backup.
  platform::ReplaceFileAtomically(path_.c_str(), text_.data(), text_.size(),
                                  modeReference_.empty() ? nullptr : modeReference_.c_str());
  delete this;
  Running().Remove();
  return 0;
}

}  // namespace storage
