// Named mutexes on Win32: kernel mutex objects, which the system marks
// abandoned when the owning thread ends while holding one.
#include "platform/Platform.h"
#include "platform/win32/Win32Error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace storage::platform {

namespace {

class Win32NamedMutex final : public NamedMutex {
 public:
  explicit Win32NamedMutex(HANDLE mutex) : mutex_(mutex) {}
  ~Win32NamedMutex() override { ::CloseHandle(mutex_); }

  WaitResult Wait(uint32_t milliseconds) override {
    switch (::WaitForSingleObject(mutex_, milliseconds)) {
      case WAIT_OBJECT_0:
        return WaitResult::kAcquired;
      case WAIT_ABANDONED:
        return WaitResult::kAbandoned;
      case WAIT_TIMEOUT:
        return WaitResult::kTimedOut;
      default:
        win32::FailFromSystem();
        return WaitResult::kFailed;
    }
  }

  bool Release() override {
    if (!::ReleaseMutex(mutex_)) return win32::FailFromSystem();
    return true;
  }

 private:
  const HANDLE mutex_;
};

// A null or empty name would make an unnamed object that nobody else can open.
bool Unusable(const char* name) {
  if (name != nullptr && *name != '\0') return false;
  SetLastError(kErrorInvalidParameter);
  return true;
}

}  // namespace

std::unique_ptr<NamedMutex> NamedMutex::Create(const char* name, bool initiallyOwned) {
  if (Unusable(name)) return nullptr;
  HANDLE mutex = ::CreateMutexA(nullptr, initiallyOwned ? TRUE : FALSE, name);
  if (mutex == nullptr) {
    win32::FailFromSystem();
    return nullptr;
  }
  SetLastError(::GetLastError() == ERROR_ALREADY_EXISTS ? kErrorAlreadyExists : kErrorSuccess);
  return std::make_unique<Win32NamedMutex>(mutex);
}

std::unique_ptr<NamedMutex> NamedMutex::Open(const char* name) {
  if (Unusable(name)) return nullptr;
  HANDLE mutex = ::OpenMutexA(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name);
  if (mutex == nullptr) {
    win32::FailFromSystem();
    return nullptr;
  }
  SetLastError(kErrorSuccess);
  return std::make_unique<Win32NamedMutex>(mutex);
}

}  // namespace storage::platform
