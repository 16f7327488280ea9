#include "shm/OwnerLock.h"

#include <algorithm>
#include <cstdio>
#include <exception>

#include "base/Exceptions.h"
#include "base/Logger.h"
#include "shm/Messages.h"

namespace storage::owner {

struct Registration {
  // Whose registration it is: a forked child inherits its parent thread's.
  uint32_t threadId;
  // Held by the thread from registration to its end.
  std::unique_ptr<platform::NamedMutex> mutex;
};

namespace {

constexpr const char* kSourceFile = messages::shm::kOwnerLockFile;
constexpr const char* kRegisterFunction = messages::shm::kRegisterCurrent;
constexpr const char* kIsRegisteredFunction = messages::shm::kIsRegistered;

// Waits on a registration mutex: attempt n waits 10 × n milliseconds.
constexpr uint32_t kWaitAttempts = 10;
constexpr uint32_t kWaitStepMs = 10;

// -1: not allocated yet; -2: a thread is allocating it; 0 or more: the slot.
std::atomic<int32_t> g_slot_index{-1};

void FormatRegistrationName(char (&name)[128], uint32_t processId, uint32_t threadId) {
  std::snprintf(name, sizeof name, "%s%08d%08d", kRegistrationPrefix, static_cast<int>(processId),
                static_cast<int>(threadId));
}

void ReportFailedWait() {
  char text[128];
  std::snprintf(text, sizeof text, messages::shm::kWaitFailed,
                static_cast<int>(platform::GetLastError()));
  platform::DebugOutput(text);
}

// The id under which the calling thread is registered, 0 before: what the
// fast path of lock and unlock reads instead of the slot. A forked child's
// thread inherits its parent's id here, which then differs from its own.
thread_local uint32_t t_registered_as = 0;

// Ends a registration. The calling thread's own is released before its handle
// closes (a mapping must not vanish under a mutex its thread owns); one that a
// forked child inherited is left alone, since closing it would act on the
// parent's.
void EndRegistration(std::unique_ptr<Registration> registration) {
  if (registration == nullptr) return;
  if (registration->threadId != platform::CurrentThreadId()) {
    static_cast<void>(registration.release());
    return;
  }
  registration->mutex->Release();
}

#ifdef _WIN32
// On Windows the slot's cleanup ends the thread's registration: mingw-w64's
// thread_local objects may be freed before their destructors run. It touches
// no thread_local, since those are gone by then.
void EndRegistrationAtThreadExit(void* registration) {
  EndRegistration(std::unique_ptr<Registration>(static_cast<Registration*>(registration)));
}
constexpr void (*kSlotCleanup)(void*) = &EndRegistrationAtThreadExit;
#else
constexpr void (*kSlotCleanup)(void*) = nullptr;

// Owns the thread's registration and ends it with the thread, so that the
// registrations of ended threads do not pile up. A thread_local destructor
// rather than a slot destructor: the runtime keeps the library loaded while
// such destructors are pending, and runs the main thread's at exit.
class RegistrationKeeper {
 public:
  RegistrationKeeper() = default;
  RegistrationKeeper(const RegistrationKeeper&) = delete;
  RegistrationKeeper& operator=(const RegistrationKeeper&) = delete;

  ~RegistrationKeeper() {
    if (registration_ == nullptr) return;
    t_registered_as = 0;
    platform::TlsSetValue(g_slot_index.load(), nullptr);
    EndRegistration(std::move(registration_));
  }

  void Keep(std::unique_ptr<Registration> registration) {
    EndRegistration(std::move(registration_));
    registration_ = std::move(registration);
  }

 private:
  std::unique_ptr<Registration> registration_;
};

thread_local RegistrationKeeper t_keeper;
#endif

// The mutex exists already: an earlier thread of this process with the same
// id left it, or a liveness check holds it for a moment.
void CaptureExistingMutex(platform::NamedMutex& mutex) {
  for (uint32_t attempt = 0; attempt < kWaitAttempts; ++attempt) {
    switch (mutex.Wait(kWaitStepMs * attempt)) {
      case platform::WaitResult::kAcquired:
      case platform::WaitResult::kAbandoned:
        return;
      case platform::WaitResult::kTimedOut:
        break;
      case platform::WaitResult::kFailed:
        ReportFailedWait();
        break;
    }
  }
  throw AssertException(kSourceFile, kRegisterFunction, __LINE__, messages::shm::kOwnerMutexNotCaptured);
}

void RegisterCurrent(uint32_t me) {
  const Registration* current = TlsSingleton::GetValue();
  if (current != nullptr && current->threadId == me) {
    t_registered_as = me;
    return;
  }

  char name[128];
  FormatRegistrationName(name, platform::CurrentProcessId(), me);
  GlobalMutexGuard guard(RegistratorMutex());
  std::unique_ptr<platform::NamedMutex> mutex = platform::NamedMutex::Create(name, true);
  const uint32_t error = platform::GetLastError();
  STORAGE_ASSERT(mutex != nullptr, kSourceFile, kRegisterFunction, nullptr);
  if (error == platform::kErrorAlreadyExists) {
    CaptureExistingMutex(*mutex);
  } else {
    STORAGE_ASSERT(error == platform::kErrorSuccess, kSourceFile, kRegisterFunction, nullptr);
  }
  auto registration = std::make_unique<Registration>(Registration{me, std::move(mutex)});
  Registration* slotValue = registration.get();
#ifdef _WIN32
  TlsSingleton::SetValue(slotValue);
  static_cast<void>(registration.release());  // the slot owns it now
#else
  // Kept first, so that a refused slot write still releases the mutex in time.
  t_keeper.Keep(std::move(registration));
  TlsSingleton::SetValue(slotValue);
#endif
  t_registered_as = me;
}

// Registers the calling thread, whose id is me, unless it is registered.
inline void EnsureRegistered(uint32_t me) {
  if (t_registered_as == me) return;
  TlsSingleton::EnsureSlot();
  RegisterCurrent(me);
}

}  // namespace

// ---- TlsSingleton -------------------------------------------------------------

void TlsSingleton::EnsureSlot() {
  while (g_slot_index.load() < 0) {
    int32_t expected = -1;
    if (g_slot_index.compare_exchange_strong(expected, -2)) {
      const int slot = platform::TlsAlloc(kSlotCleanup);
      g_slot_index.exchange(slot);
      // Slots run out for good; retrying would spin for ever.
      if (slot < 0) throw BadAllocException(messages::shm::kNoThreadLocalSlot);
    }
    platform::YieldThread();
  }
}

Registration* TlsSingleton::GetValue() {
  void* value = platform::TlsGetValue(g_slot_index.load(std::memory_order_relaxed));
  STORAGE_ASSERT(value != nullptr || platform::GetLastError() == platform::kErrorSuccess, kSourceFile,
                 messages::shm::kThreadLocalGetValue, nullptr);
  return static_cast<Registration*>(value);
}

void TlsSingleton::SetValue(Registration* registration) {
  STORAGE_ASSERT(platform::TlsSetValue(g_slot_index.load(std::memory_order_relaxed), registration),
                 kSourceFile, messages::shm::kThreadLocalSetValue, nullptr);
}

// ---- GlobalMutex ----------------------------------------------------------------

GlobalMutex::GlobalMutex(const char* name) : mutex_(platform::NamedMutex::Create(name, false)) {}

GlobalMutex::~GlobalMutex() = default;

void GlobalMutex::Lock() {
  const platform::WaitResult result =
      mutex_ != nullptr ? mutex_->Wait(platform::kInfinite) : platform::WaitResult::kFailed;
  if (result == platform::WaitResult::kAcquired || result == platform::WaitResult::kAbandoned) return;
  // The Windows numbers of the two remaining results, so the text reads the same everywhere.
  const unsigned code = result == platform::WaitResult::kTimedOut ? 0x102u : 0xFFFFFFFFu;
  char text[1024];
  std::snprintf(text, sizeof text, messages::shm::kGlobalMutexLockFailed, code,
                static_cast<int>(platform::GetLastError()));
  throw AssertException(kSourceFile, messages::shm::kGlobalMutexLock, __LINE__, text);
}

void GlobalMutex::Unlock() {
  if (mutex_ != nullptr && mutex_->Release()) return;
  char text[128];
  std::snprintf(text, sizeof text, messages::shm::kGlobalMutexUnlockFailed,
                static_cast<int>(platform::GetLastError()));
  throw AssertException(kSourceFile, messages::shm::kGlobalMutexUnlock, __LINE__, text);
}

GlobalMutexGuard::GlobalMutexGuard(GlobalMutex& mutex)
    : mutex_(mutex), exceptions_on_entry_(std::uncaught_exceptions()) {
  mutex_.Lock();
}

GlobalMutexGuard::~GlobalMutexGuard() noexcept(false) {
  if (std::uncaught_exceptions() == exceptions_on_entry_) {
    mutex_.Unlock();
    return;
  }
  try {
    mutex_.Unlock();
  } catch (const AssertException& failure) {
    logger::Error("%s", failure.What().c_str());
  }
}

GlobalMutex& RegistratorMutex() {
  static GlobalMutex mutex(kRegistrationPrefix);
  return mutex;
}

namespace {
// Made when the library loads, like the other process-wide values.
[[maybe_unused]] GlobalMutex& g_registrator_at_load = RegistratorMutex();
}  // namespace

// ---- GlobalRegistrator ----------------------------------------------------------

void GlobalRegistrator::RegisterCurrentThread() {
  TlsSingleton::EnsureSlot();
  RegisterCurrent(platform::CurrentThreadId());
}

uint32_t GlobalRegistrator::ThreadProcess(uint32_t threadId) {
  return platform::ThreadOwnerProcess(threadId).value_or(kNoProcess);
}

bool GlobalRegistrator::IsRegistered(uint32_t threadId) {
  const uint32_t processId = ThreadProcess(threadId);
  if (processId == kNoProcess) return false;

  char name[128];
  FormatRegistrationName(name, processId, threadId);
  GlobalMutexGuard guard(RegistratorMutex());
  std::unique_ptr<platform::NamedMutex> mutex = platform::NamedMutex::Open(name);
  if (mutex == nullptr) {
    const uint32_t error = platform::GetLastError();
    if (error == platform::kErrorFileNotFound) return false;
    char text[128];
    std::snprintf(text, sizeof text, messages::shm::kOpenMutexFailed, static_cast<int>(error));
    throw AssertException(kSourceFile, kIsRegisteredFunction, __LINE__, text);
  }
  for (uint32_t attempt = 0; attempt < kWaitAttempts; ++attempt) {
    switch (mutex->Wait(kWaitStepMs * attempt)) {
      case platform::WaitResult::kTimedOut:
        return true;
      case platform::WaitResult::kAcquired:
      case platform::WaitResult::kAbandoned:
        mutex->Release();
        return false;
      case platform::WaitResult::kFailed:
        ReportFailedWait();
        break;
    }
  }
  // A holder that cannot be examined counts as alive.
  return true;
}

// ---- OwnerLock -------------------------------------------------------------------

namespace {
constexpr uint32_t kAttemptsPerClockRead = 64;
constexpr uint64_t kLongestSpinPhaseMs = 20;
}  // namespace

// The holder alone writes count, and the compare-and-swap of owner hands the
// lock over with its memory; plain atomic loads and stores of count and a
// release store that frees owner therefore suffice, and keep an uncontended
// lock and unlock at one locked instruction, as a mutex has.
void OwnerLockRecord::Acquire(uint32_t freeValue, uint32_t spinCount) {
  const uint32_t me = platform::CurrentThreadId();
  EnsureRegistered(me);
  std::atomic_ref<uint32_t> owner(owner_);
  std::atomic_ref<uint32_t> count(count_);
  // With no attempt at all the lock would never be taken, even when free.
  const uint32_t attempts = std::max(spinCount, 1u);
  for (;;) {
    // Read at the first failed attempt, so that taking a free lock costs no
    // clock read.
    uint64_t phaseStart = 0;
    for (uint32_t attempt = 0; attempt < attempts; ++attempt) {
      uint32_t expected = freeValue;
      if (owner.load() == me || owner.compare_exchange_strong(expected, me)) {
        count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
        return;
      }
      if (attempt == 0) phaseStart = platform::TickCountMs();
      platform::YieldThread();
      // On a busy machine each yield may last a time slice, and 10,000 of
      // them kept a dead holder's lock for seconds: a phase also ends in time.
      if (attempt % kAttemptsPerClockRead == kAttemptsPerClockRead - 1 &&
          platform::TickCountMs() - phaseStart >= kLongestSpinPhaseMs) {
        break;
      }
    }
    // Once per phase: has the holder ended? Then take the lock over at depth 1,
    // whatever depth the holder had reached.
    uint32_t holder = owner.load();
    if (holder != freeValue) {
      TlsSingleton::EnsureSlot();
      if (!GlobalRegistrator::IsRegistered(holder) && owner.compare_exchange_strong(holder, me)) {
        count.store(freeValue + 1, std::memory_order_relaxed);
        return;
      }
    }
    platform::SleepMs(1);
  }
}

void OwnerLockRecord::Release(uint32_t freeValue) {
  const uint32_t me = platform::CurrentThreadId();
  EnsureRegistered(me);
  std::atomic_ref<uint32_t> owner(owner_);
  if (owner.load() != me) return;
  std::atomic_ref<uint32_t> count(count_);
  const uint32_t depth = count.load(std::memory_order_relaxed) - 1;
  count.store(depth, std::memory_order_relaxed);
  // count is back at the free value before owner is.
  if (depth == freeValue) owner.store(freeValue, std::memory_order_release);
}

}  // namespace storage::owner
