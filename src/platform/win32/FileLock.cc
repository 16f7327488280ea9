// Advisory file locks on Win32: LockFileEx on a lock file of its own, which
// the system releases when the handle closes, also when the holder is killed.
#include "platform/Platform.h"
#include "platform/win32/Win32Error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace storage::platform {

namespace {

constexpr uint32_t kPollMs = 5;

// The whole file: a lock on a file of its own guards nothing else.
bool LockWhole(HANDLE file) {
  OVERLAPPED overlapped{};
  return ::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                      &overlapped) != 0;
}

class Win32FileLock : public FileLock {
 public:
  explicit Win32FileLock(HANDLE file) : file_(file) {}
  ~Win32FileLock() override {
    OVERLAPPED overlapped{};
    ::UnlockFileEx(file_, 0, MAXDWORD, MAXDWORD, &overlapped);
    ::CloseHandle(file_);
  }

 private:
  const HANDLE file_;
};

// Opens the link itself rather than its target, so that a planted link is
// seen and refused, never locked through.
HANDLE OpenLockFile(const char* path) {
  return ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool IsPlainFile(HANDLE file) {
  BY_HANDLE_FILE_INFORMATION information;
  return ::GetFileInformationByHandle(file, &information) &&
         (information.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0 &&
         ::GetFileType(file) == FILE_TYPE_DISK;
}

}  // namespace

std::unique_ptr<FileLock> FileLock::Acquire(const char* path, uint32_t milliseconds) {
  if (path == nullptr) {
    SetLastError(kErrorFileNotFound);
    return nullptr;
  }
  HANDLE file = OpenLockFile(path);
  if (file == INVALID_HANDLE_VALUE) {
    // Only a missing directory is "not found": a lock file that is there but
    // cannot be opened must not let writers in unlocked.
    const DWORD error = ::GetLastError();
    SetLastError(error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND ? kErrorFileNotFound
                                                                                  : kErrorAccessDenied);
    return nullptr;
  }
  if (!IsPlainFile(file)) {
    ::CloseHandle(file);
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  const uint64_t deadline = TickCountMs() + milliseconds;
  while (!LockWhole(file)) {
    const DWORD error = ::GetLastError();
    const bool heldByOthers = error == ERROR_LOCK_VIOLATION || error == ERROR_IO_PENDING;
    if (!heldByOthers || TickCountMs() >= deadline) {
      ::CloseHandle(file);
      SetLastError(heldByOthers ? kErrorSharingViolation : kErrorGenFailure);
      return nullptr;
    }
    SleepMs(kPollMs);
  }
  SetLastError(kErrorSuccess);
  return std::make_unique<Win32FileLock>(file);
}

}  // namespace storage::platform
