// A thread object: a subclass supplies the body; Launch() runs it on a new,
// detached thread. The subclass decides the object's lifetime (a body may
// delete its own object before returning).
#ifndef SETTINGSTORE_BASE_THREAD_H
#define SETTINGSTORE_BASE_THREAD_H

#include <atomic>
#include <cstdint>

namespace threads {

// 0 normal; each level above runs with a lower priority.
typedef int PriorityLevel;

class Thread {
 public:
  Thread() = default;
  virtual ~Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // False when the thread could not be started (or was started before).
  bool Launch();
  // Before Launch() the level is kept and applied when the thread begins;
  // afterwards it applies to the running thread.
  bool SetPriority(PriorityLevel level);

 protected:
  // The thread body.
  virtual int Run() = 0;

 private:
  static void Trampoline(Thread* self);

  std::atomic<bool> started_{false};
  std::atomic<uint32_t> thread_id_{0};
  std::atomic<PriorityLevel> priority_{0};
};

}  // namespace threads

#endif  // SETTINGSTORE_BASE_THREAD_H
