// Threads, time, thread-local slots and the last error on POSIX.
#include <pthread.h>
#include <sys/resource.h>
#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Platform.h"

namespace storage::platform {

namespace {

thread_local uint32_t t_last_error = kErrorSuccess;

// gettid() is a system call; cache it per thread. A forked child's only
// thread inherits the forking thread's cache, so the child clears it.
thread_local uint32_t t_thread_id = 0;

void ForgetThreadIdInChild() { t_thread_id = 0; }
[[maybe_unused]] const int g_fork_handler = pthread_atfork(nullptr, nullptr, &ForgetThreadIdInChild);

}  // namespace

uint32_t GetLastError() { return t_last_error; }
void SetLastError(uint32_t error) { t_last_error = error; }

uint32_t CurrentThreadId() {
  if (t_thread_id == 0) t_thread_id = static_cast<uint32_t>(syscall(SYS_gettid));
  return t_thread_id;
}

uint32_t CurrentProcessId() { return static_cast<uint32_t>(getpid()); }

int TlsAlloc(void (*cleanup)(void*)) {
  pthread_key_t key;
  if (pthread_key_create(&key, cleanup) != 0) {
    SetLastError(kErrorNotEnoughMemory);
    return -1;
  }
  return static_cast<int>(key);
}

void* TlsGetValue(int slot) {
  SetLastError(kErrorSuccess);
  return pthread_getspecific(static_cast<pthread_key_t>(slot));
}

bool TlsSetValue(int slot, void* value) {
  if (pthread_setspecific(static_cast<pthread_key_t>(slot), value) != 0) {
    SetLastError(kErrorNotEnoughMemory);
    return false;
  }
  return true;
}

void YieldThread() { sched_yield(); }

void SleepMs(uint32_t milliseconds) {
  timespec request{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&request, &request) != 0 && errno == EINTR) {
  }
}

uint64_t TickCountMs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u;
}

uint32_t ProcessorCount() {
  long count = sysconf(_SC_NPROCESSORS_ONLN);
  return count > 0 ? static_cast<uint32_t>(count) : 1u;
}

bool SetThreadPriority(uint32_t threadId, int level) {
  if (level < 0) return false;
  int nice = level * 5 > 19 ? 19 : level * 5;
  return setpriority(PRIO_PROCESS, static_cast<id_t>(threadId), nice) == 0;
}

void DebugOutput(const char* text) { Log(LogLevel::kDebug, "%s", text); }

}  // namespace storage::platform
