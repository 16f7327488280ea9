// The owner lock: a recursive spin lock of two 32-bit words that threads of
// several processes share, and that a waiter takes over once its holder thread
// has ended. Liveness is judged through registration: every thread that
// touches an owner lock holds a named mutex whose name carries its process and
// thread ids for as long as it lives.
#ifndef SETTINGSTORE_SHM_OWNERLOCK_H
#define SETTINGSTORE_SHM_OWNERLOCK_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <type_traits>

#include "base/ProcessValues.h"
#include "platform/Platform.h"

namespace storage::owner {

// The registrator mutex's name, and the start of every registration mutex's.
inline constexpr char kRegistrationPrefix[] =
    "Local\\ShareMemoryStorageReg_{3ED81CFF-852C-4b7a-90A8-70E058A540E4}";

// What the calling thread keeps while it is registered (defined in OwnerUtil.cc).
struct Registration;

// The one process-wide thread-local slot; per thread it holds the thread's
// registration, null until the thread registers.
class TlsSingleton {
 public:
  // Allocates the slot on first use; every thread of the process shares it.
  static void EnsureSlot();
  static Registration* GetValue();
  static void SetValue(Registration* registration);
};

// A named mutex that threads of every process of the session can take.
class GlobalMutex {
 public:
  // Creates the mutex, not owned, or opens it when another process made it.
  explicit GlobalMutex(const char* name);
  ~GlobalMutex();
  GlobalMutex(const GlobalMutex&) = delete;
  GlobalMutex& operator=(const GlobalMutex&) = delete;

  // Waits without limit; a mutex left by a dead owner counts as taken.
  void Lock();
  void Unlock();

 private:
  std::unique_ptr<platform::NamedMutex> mutex_;
};

class GlobalMutexGuard {
 public:
  explicit GlobalMutexGuard(GlobalMutex& mutex);
  // Throws when the release is refused, unless an exception is already on its
  // way out (a second one would end the process): that refusal is logged.
  ~GlobalMutexGuard() noexcept(false);
  GlobalMutexGuard(const GlobalMutexGuard&) = delete;
  GlobalMutexGuard& operator=(const GlobalMutexGuard&) = delete;

 private:
  GlobalMutex& mutex_;
  int exceptions_on_entry_;
};

// Registration of threads and the liveness test of lock holders, serialised
// across processes by the registrator mutex.
class GlobalRegistrator {
 public:
  static constexpr uint32_t kNoProcess = 0xFFFFFFFF;

  // Registers the calling thread unless it is registered already. The thread
  // holds its registration mutex until it ends.
  static void RegisterCurrentThread();
  // True when the thread exists and holds its registration mutex.
  static bool IsRegistered(uint32_t threadId);
  // The process that owns the thread, or kNoProcess when there is no such thread.
  static uint32_t ThreadProcess(uint32_t threadId);
};

// The process-wide registrator mutex, made when the library loads.
GlobalMutex& RegistratorMutex();

// The two words of an owner lock, whatever its free value. Both change only
// through atomic operations, so the record may lie in memory shared by
// several processes.
class OwnerLockRecord {
 public:
  uint32_t Owner() const { return std::atomic_ref<uint32_t>(owner_).load(); }
  uint32_t Count() const { return std::atomic_ref<uint32_t>(count_).load(); }

 protected:
  explicit OwnerLockRecord(uint32_t freeValue) : owner_(freeValue), count_(freeValue) {}

  void Acquire(uint32_t freeValue, uint32_t spinCount);
  void Release(uint32_t freeValue);

 private:
  // Mutable so that the const readers can load them through std::atomic_ref.
  mutable uint32_t owner_;
  mutable uint32_t count_;
};
static_assert(std::atomic_ref<uint32_t>::required_alignment == alignof(uint32_t));

// An owner lock whose both words hold kFree while nobody holds it. The record
// is trivially copyable and has a trivial destructor, so it can be used in
// place in mapped memory whose bytes already say "free".
template <uint32_t kFree>
class BasicOwnerLock : public OwnerLockRecord {
 public:
  static constexpr uint32_t kFreeValue = kFree;

  BasicOwnerLock() : OwnerLockRecord(kFree) {}

  // Returns once the calling thread holds the lock (once more if it held it).
  // spinCount is the number of attempts between liveness checks of the
  // holder; a spin phase that lasts 20 ms ends sooner.
  void Lock(uint32_t spinCount) { Acquire(kFree, spinCount); }
  // Gives up one level; the last frees the lock. Does nothing for a thread
  // that does not hold it.
  void Unlock() { Release(kFree); }
};

// The lock held as a member or in shared memory filled with 0xCC bytes.
using OwnerLock = BasicOwnerLock<0xCCCCCCCC>;
// Free when zero-filled: the creation lock at the head of a new shared segment.
using ZeroFreeOwnerLock = BasicOwnerLock<0>;

static_assert(sizeof(OwnerLock) == 8 && sizeof(ZeroFreeOwnerLock) == 8);
static_assert(std::is_standard_layout_v<OwnerLock> && std::is_trivially_copyable_v<OwnerLock>);
static_assert(std::is_trivially_destructible_v<OwnerLock>);

// Holds an owner lock, taken with the process-wide spin count, for a scope.
template <class Lock>
class OwnerLockGuard {
 public:
  explicit OwnerLockGuard(Lock& lock) : lock_(lock) { lock_.Lock(GetSpinCount()); }
  ~OwnerLockGuard() { lock_.Unlock(); }
  OwnerLockGuard(const OwnerLockGuard&) = delete;
  OwnerLockGuard& operator=(const OwnerLockGuard&) = delete;

 private:
  Lock& lock_;
};

}  // namespace storage::owner

#endif  // SETTINGSTORE_SHM_OWNERLOCK_H
