// Threads, time, thread-local slots and the last error on Win32.
#include <atomic>
#include <utility>

#include "platform/Platform.h"
#include "platform/win32/Win32Error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace storage::platform {

namespace {

// Our own, not ::GetLastError(): the numbers are those of Platform.h, and
// calls of the C runtime in between must not overwrite them.
thread_local uint32_t t_lastError = kErrorSuccess;

// An FLS callback is WINAPI (stdcall on 32-bit), the caller's cleanup is a
// plain function: each slot with a cleanup gets one of these trampolines.
constexpr int kMaxCleanups = 64;
std::atomic<void (*)(void*)> g_cleanups[kMaxCleanups];
std::atomic<int> g_cleanupsUsed{0};

template <int index>
void WINAPI RunCleanup(void* value) {
  if (value != nullptr) g_cleanups[index].load(std::memory_order_acquire)(value);
}

template <int... indices>
constexpr PFLS_CALLBACK_FUNCTION TrampolineOf(int index, std::integer_sequence<int, indices...>) {
  constexpr PFLS_CALLBACK_FUNCTION trampolines[] = {&RunCleanup<indices>...};
  return trampolines[index];
}

}  // namespace

uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t error) { t_lastError = error; }

uint32_t CurrentThreadId() { return static_cast<uint32_t>(::GetCurrentThreadId()); }

uint32_t CurrentProcessId() { return static_cast<uint32_t>(::GetCurrentProcessId()); }

// The cleanup also runs at FlsFree and at process exit, for the values the
// remaining threads hold then; the slots here are never freed.
int TlsAlloc(void (*cleanup)(void*)) {
  PFLS_CALLBACK_FUNCTION callback = nullptr;
  if (cleanup != nullptr) {
    const int index = g_cleanupsUsed.fetch_add(1);
    if (index >= kMaxCleanups) {
      SetLastError(kErrorNotEnoughMemory);
      return -1;
    }
    g_cleanups[index].store(cleanup, std::memory_order_release);
    callback = TrampolineOf(index, std::make_integer_sequence<int, kMaxCleanups>{});
  }
  const DWORD slot = ::FlsAlloc(callback);
  if (slot == FLS_OUT_OF_INDEXES) {
    SetLastError(kErrorNotEnoughMemory);
    return -1;
  }
  SetLastError(kErrorSuccess);
  return static_cast<int>(slot);
}

void* TlsGetValue(int slot) {
  if (slot < 0) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  ::SetLastError(ERROR_SUCCESS);
  void* value = ::FlsGetValue(static_cast<DWORD>(slot));
  SetLastError(value != nullptr ? kErrorSuccess : win32::ErrorFromWin32(::GetLastError()));
  return value;
}

bool TlsSetValue(int slot, void* value) {
  if (slot < 0) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  if (!::FlsSetValue(static_cast<DWORD>(slot), value)) return win32::FailFromSystem();
  return true;
}

void YieldThread() { ::SwitchToThread(); }

void SleepMs(uint32_t milliseconds) { ::Sleep(milliseconds); }

uint64_t TickCountMs() { return ::GetTickCount64(); }

uint32_t ProcessorCount() {
  // Counts every processor group, which GetSystemInfo does not.
  const DWORD count = ::GetActiveProcessorCount(ALL_PROCESSOR_GROUPS);
  if (count > 0) return count;
  SYSTEM_INFO info;
  ::GetSystemInfo(&info);
  return info.dwNumberOfProcessors > 0 ? info.dwNumberOfProcessors : 1u;
}

bool SetThreadPriority(uint32_t threadId, int level) {
  if (level < 0) return false;
  const int priority = level == 0 ? THREAD_PRIORITY_NORMAL
                       : level == 1 ? THREAD_PRIORITY_BELOW_NORMAL
                                    : THREAD_PRIORITY_LOWEST;
  HANDLE thread = ::OpenThread(THREAD_SET_INFORMATION, FALSE, threadId);
  if (thread == nullptr) return win32::FailFromSystem();
  const bool done = ::SetThreadPriority(thread, priority) != 0;
  if (!done) win32::FailFromSystem();
  ::CloseHandle(thread);
  return done;
}

void DebugOutput(const char* text) { ::OutputDebugStringA(text != nullptr ? text : ""); }

}  // namespace storage::platform
