// Named mutexes: a robust, process-shared pthread mutex in a named object. The
// kernel marks it owner-dead when the owning thread ends, whatever the way,
// which is the abandoned state that waiters report.
#include <linux/futex.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cerrno>

#include "platform/Platform.h"
#include "platform/posix/SharedObject.h"

#ifndef __GLIBC__
#error "KernelMutexOwner reads the futex word of glibc's pthread_mutex_t"
#endif

namespace storage::platform {

namespace posix {

uint32_t KernelMutexOwner(const SharedObject& object) {
  // The kernel's robust-futex protocol keeps the owner's thread id in the
  // mutex's lock word and clears it when the owner dies.
  auto* mutex = static_cast<pthread_mutex_t*>(object.State());
  int word = std::atomic_ref<int>(mutex->__data.__lock).load(std::memory_order_relaxed);
  return static_cast<uint32_t>(word) & FUTEX_TID_MASK;
}

}  // namespace posix

namespace {

using posix::ObjectKind;
using posix::SharedObject;

pthread_mutex_t* MutexOf(const SharedObject& object) { return static_cast<pthread_mutex_t*>(object.State()); }

void TakeOwnership(SharedObject& object, uint32_t me) {
  object.depth = 1;
  object.localOwner.store(me, std::memory_order_relaxed);
}

// Robust, so that a thread ending while it owns the mutex leaves it abandoned
// rather than locked for ever; error-checking, so that misuse fails instead of
// hanging. Recursion is counted by us.
bool InitialiseMutex(SharedObject& object, bool initiallyOwned) {
  pthread_mutexattr_t attributes;
  pthread_mutexattr_init(&attributes);
  pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED);
  pthread_mutexattr_setrobust(&attributes, PTHREAD_MUTEX_ROBUST);
  pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK);
  int error = pthread_mutex_init(MutexOf(object), &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (error == 0 && initiallyOwned) {
    error = pthread_mutex_trylock(MutexOf(object));  // cannot be busy: nobody else sees it yet
    if (error == 0) TakeOwnership(object, CurrentThreadId());
  }
  if (error != 0) SetLastError(posix::ErrorFromErrno(error));
  return error == 0;
}

#ifdef __SANITIZE_THREAD__
// ThreadSanitizer intercepts neither clocklock nor an owner-dead timedlock
// and would lose track of the owner; it understands trylock.
int LockWithin(pthread_mutex_t* mutex, uint32_t milliseconds) {
  uint64_t deadline = TickCountMs() + milliseconds;
  for (;;) {
    int error = pthread_mutex_trylock(mutex);
    if (error != EBUSY) return error;
    if (TickCountMs() >= deadline) return ETIMEDOUT;
    SleepMs(1);
  }
}
#else
int LockWithin(pthread_mutex_t* mutex, uint32_t milliseconds) {
  timespec deadline;
  clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += milliseconds / 1000;
  deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
  if (deadline.tv_nsec >= 1000000000L) {
    deadline.tv_sec += 1;
    deadline.tv_nsec -= 1000000000L;
  }
  return pthread_mutex_clocklock(mutex, CLOCK_MONOTONIC, &deadline);
}
#endif

class PosixNamedMutex final : public NamedMutex {
 public:
  ~PosixNamedMutex() override {
    if (object_ != nullptr) object_->ReleaseHandle();
  }

  bool Attach(const char* name, bool create, bool initiallyOwned) {
    object_ = SharedObject::Acquire(
        name, ObjectKind::kMutex, 0, create,
        [initiallyOwned](SharedObject& object) { return InitialiseMutex(object, initiallyOwned); });
    return object_ != nullptr;
  }

  WaitResult Wait(uint32_t milliseconds) override {
    uint32_t me = CurrentThreadId();
    if (OwnedBy(me)) {
      ++object_->depth;
      return WaitResult::kAcquired;
    }
    pthread_mutex_t* mutex = MutexOf(*object_);
    int error;
    if (milliseconds == kInfinite) {
      error = pthread_mutex_lock(mutex);
    } else if (milliseconds == 0) {
      error = pthread_mutex_trylock(mutex);
    } else {
      error = LockWithin(mutex, milliseconds);
    }
    switch (error) {
      case 0:
        TakeOwnership(*object_, me);
        return WaitResult::kAcquired;
      case EOWNERDEAD:
        // At once: unlocking without it would leave the mutex unusable for good.
        pthread_mutex_consistent(mutex);
        TakeOwnership(*object_, me);
        return WaitResult::kAbandoned;
      case EBUSY:
      case ETIMEDOUT:
        return WaitResult::kTimedOut;
      default:
        SetLastError(posix::ErrorFromErrno(error));
        return WaitResult::kFailed;
    }
  }

  bool Release() override {
    if (!OwnedBy(CurrentThreadId())) {
      SetLastError(kErrorNotOwner);
      return false;
    }
    if (--object_->depth > 0) return true;
    object_->localOwner.store(0, std::memory_order_relaxed);
    int error = pthread_mutex_unlock(MutexOf(*object_));
    if (error != 0) {
      SetLastError(posix::ErrorFromErrno(error));
      return false;
    }
    return true;
  }

 private:
  // Our record alone could be stale: a new thread may carry the id of an
  // owner that ended, and the kernel has cleared that owner from the mutex.
  bool OwnedBy(uint32_t me) const {
    return object_->localOwner.load(std::memory_order_relaxed) == me &&
           posix::KernelMutexOwner(*object_) == me;
  }

  SharedObject* object_ = nullptr;
};

std::unique_ptr<NamedMutex> MakeMutex(const char* name, bool create, bool initiallyOwned) {
  auto mutex = std::make_unique<PosixNamedMutex>();
  if (!mutex->Attach(name, create, initiallyOwned)) return nullptr;
  return mutex;
}

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::Create(const char* name, bool initiallyOwned) {
  return MakeMutex(name, true, initiallyOwned);
}

std::unique_ptr<NamedMutex> NamedMutex::Open(const char* name) { return MakeMutex(name, false, false); }

}  // namespace storage::platform
