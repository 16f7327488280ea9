// File-system calls on Win32.
#include <atomic>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "platform/Messages.h"
#include "platform/Platform.h"
#include "platform/win32/Win32Error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace storage::platform {

namespace {

bool Succeeded(bool success) {
  if (!success) return win32::FailFromSystem();
  SetLastError(kErrorSuccess);
  return true;
}

bool NoPath() {
  SetLastError(kErrorFileNotFound);
  return false;
}

// Closes a handle on every way out of a scope.
class HandleCloser {
 public:
  explicit HandleCloser(HANDLE handle) : handle_(handle) {}
  ~HandleCloser() { ::CloseHandle(handle_); }
  HandleCloser(const HandleCloser&) = delete;
  HandleCloser& operator=(const HandleCloser&) = delete;

 private:
  HANDLE handle_;
};

}  // namespace

bool PathExists(const char* path) {
  if (path == nullptr) return NoPath();
  return Succeeded(::GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES);
}

bool IsDirectory(const char* path) {
  if (path == nullptr) return NoPath();
  const DWORD attributes = ::GetFileAttributesA(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return Succeeded(false);
  SetLastError(kErrorSuccess);
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool MakeDirectory(const char* path) {
  if (path == nullptr) return NoPath();
  return Succeeded(::CreateDirectoryA(path, nullptr) != 0);
}

// Windows has no foreign owner in the POSIX sense: the file's ACL decides.
bool RemoveFile(const char* path) {
  if (path == nullptr) return NoPath();
  if (!::DeleteFileA(path)) return Succeeded(false);
  CountFileStep();
  return Succeeded(true);
}

bool ReadStorageFile(const char* path, std::string* content, std::string* reason) {
  if (path == nullptr || content == nullptr) return NoPath();
  content->clear();
  const auto refuse = [&](uint32_t error, const std::string& why) {
    if (reason != nullptr) *reason = why;
    content->clear();
    SetLastError(error);
    return false;
  };
  // The link itself, not its target, so that a planted link is refused like on
  // POSIX; a directory opens too, to be refused by name. Sharing delete lets a
  // writer move its new content over the file meanwhile.
  HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    const bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return refuse(missing ? kErrorFileNotFound : kErrorAccessDenied, win32::ErrorText(error));
  }
  const HandleCloser closer(file);
  BY_HANDLE_FILE_INFORMATION information;
  if (!::GetFileInformationByHandle(file, &information)) {
    return refuse(kErrorAccessDenied, win32::ErrorText(::GetLastError()));
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
    return refuse(kErrorAccessDenied, messages::platform::kIsSymbolicLink);
  }
  if ((information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || ::GetFileType(file) != FILE_TYPE_DISK) {
    return refuse(kErrorAccessDenied, messages::platform::kIsNotRegularFile);
  }
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    DWORD count = 0;
    if (!::ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &count, nullptr)) {
      return refuse(kErrorAccessDenied, win32::ErrorText(::GetLastError()));
    }
    if (count == 0) break;
    content->append(buffer.data(), count);
  }
  SetLastError(kErrorSuccess);
  return true;
}

// Windows has no owner uid or group/other mode bits in the POSIX sense, so
// every directory is accepted: its ACL is what guards it.
bool CheckStorageDirectory(const char* path, std::string* /*problem*/) {
  if (path == nullptr) return NoPath();
  SetLastError(kErrorSuccess);
  return true;
}

bool RenameFile(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return NoPath();
  if (!::MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING)) return Succeeded(false);
  CountFileStep();
  return Succeeded(true);
}

std::string CurrentDirectory() {
  std::vector<char> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = ::GetCurrentDirectoryA(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) throw std::runtime_error(messages::platform::kNoCurrentDirectory);
    // Too short a buffer gives the size needed, terminator included.
    if (length < buffer.size()) return std::string(buffer.data(), length);
    buffer.resize(length);
  }
}

std::vector<std::string> ListDirectory(const char* path) {
  std::vector<std::string> entries;
  if (path == nullptr) return entries;
  std::string pattern = *path ? path : ".";
  if (pattern.back() != '\\' && pattern.back() != '/') pattern += '\\';
  pattern += '*';
  WIN32_FIND_DATAA found;
  HANDLE search = ::FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return entries;
  do {
    const std::string name = found.cFileName;
    if (name != "." && name != "..") entries.push_back(name);
  } while (::FindNextFileA(search, &found));
  ::FindClose(search);
  return entries;
}

bool ProcessAlive(uint32_t processId) {
  if (processId == 0) return false;
  HANDLE process = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId);
  // Refused means it is there but protected; any other failure means no such process.
  if (process == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
  DWORD exitCode = 0;
  const bool alive = ::GetExitCodeProcess(process, &exitCode) && exitCode == STILL_ACTIVE;
  ::CloseHandle(process);
  return alive;
}

namespace {

long CrashAfterSteps() {
  const char* text = std::getenv("SETTINGSTORE_CRASH_AFTER_IO");
  if (text == nullptr) return 0;
  char* end = nullptr;
  const long steps = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && steps > 0 ? steps : 0;
}

}  // namespace

void CountFileStep() {
  static const long limit = CrashAfterSteps();
  if (limit == 0) return;
  static std::atomic<long> steps{0};
  // Ends the process at once, like SIGKILL: no destructors, no atexit, no flush.
  if (steps.fetch_add(1) + 1 >= limit) ::TerminateProcess(::GetCurrentProcess(), 137);
}

}  // namespace storage::platform
