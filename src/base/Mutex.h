// In-process mutex that the holding thread may lock again.
#ifndef SETTINGSTORE_BASE_MUTEX_H
#define SETTINGSTORE_BASE_MUTEX_H

#include <mutex>

namespace threads {

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

// Scope guard: holds the mutex until the end of the scope, exceptions included.
using MutexGuard = std::lock_guard<Mutex>;

}  // namespace threads

#endif  // SETTINGSTORE_BASE_MUTEX_H
