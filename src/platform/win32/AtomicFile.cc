// Replacing a file so that a crash at any moment leaves the old content or
// the new one, never a mix: write a temporary file in the same directory,
// flush it, then move it over the target with write-through.
#include <atomic>
#include <cstdlib>
#include <string>

#include "platform/Platform.h"
#include "platform/win32/Win32Error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace storage::platform {

namespace {

constexpr int kMaxNameAttempts = 100;
constexpr const char kTemporaryInfix[] = ".tmp.";
// A target that a reader without FILE_SHARE_DELETE (a virus scanner, an
// indexer) holds open refuses the move for a moment; so do files being deleted.
constexpr int kMoveAttempts = 20;
constexpr DWORD kMoveRetryMs = 10;
constexpr DWORD kMaxChunk = 1u << 30;

size_t LastSeparator(const std::string& path) { return path.find_last_of("\\/"); }

std::string DirectoryOf(const std::string& path) {
  const size_t separator = LastSeparator(path);
  if (separator == std::string::npos) return ".";
  // "\x" and "C:\x" live in the root, which keeps its separator.
  if (separator == 0 || path[separator - 1] == ':') return path.substr(0, separator + 1);
  return path.substr(0, separator);
}

std::string NameOf(const std::string& path) {
  const size_t separator = LastSeparator(path);
  return separator == std::string::npos ? path : path.substr(separator + 1);
}

std::string JoinPath(const std::string& directory, const std::string& name) {
  if (directory.back() == '\\' || directory.back() == '/') return directory + name;
  return directory + "\\" + name;
}

// Creates `path` only if nothing of that name exists, a link included.
// Windows has no mode bits in the POSIX sense: the new file inherits the
// directory's ACL, and a mode reference has no effect.
HANDLE CreateExclusively(const std::string& path) {
  return ::CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Creates the temporary file under a name no other writer uses at the same time.
HANDLE CreateTemporaryFile(const std::string& path, std::string& temporaryPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    temporaryPath = path + kTemporaryInfix + std::to_string(::GetCurrentProcessId()) + "." +
                    std::to_string(counter++);
    HANDLE file = CreateExclusively(temporaryPath);
    if (file != INVALID_HANDLE_VALUE) return file;
    const DWORD error = ::GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

bool WriteAll(HANDLE file, const char* data, size_t size) {
  while (size > 0) {
    const DWORD chunk = size > kMaxChunk ? kMaxChunk : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(file, data, chunk, &written, nullptr) || written == 0) return false;
    CountFileStep();
    data += written;
    size -= written;
  }
  return true;
}

bool Flush(HANDLE file) {
  if (!::FlushFileBuffers(file)) return false;
  CountFileStep();
  return true;
}

// Writes, flushes and closes the file; the last error is the first failure's.
bool FillFile(HANDLE file, const void* data, size_t size) {
  const bool written = WriteAll(file, static_cast<const char*>(data), size) && Flush(file);
  const DWORD error = ::GetLastError();
  const bool closed = ::CloseHandle(file) != 0;
  if (!written) ::SetLastError(error);
  return written && closed;
}

DWORD Attributes(const char* path) { return ::GetFileAttributesA(path); }

// Whether the name is free, or holds something that may be replaced: no directory.
bool MayReplace(const char* path) {
  const DWORD attributes = Attributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = ::GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// A plain file: neither a directory nor a link (a reparse point).
bool IsPlainFile(const char* path) {
  const DWORD attributes = Attributes(path);
  return attributes != INVALID_FILE_ATTRIBUTES &&
         (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

bool MoveOver(const std::string& from, const char* to) {
  for (int attempt = 1;; ++attempt) {
    if (::MoveFileExA(from.c_str(), to, MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = ::GetLastError();
    if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == kMoveAttempts) {
      return false;
    }
    ::Sleep(kMoveRetryMs);
  }
}

// The writer's process id in "<name>.tmp.<pid>.<n>", or 0 when the name is
// not a temporary of that file.
uint32_t TemporaryOwner(const std::string& entry, const std::string& name) {
  const std::string prefix = name + kTemporaryInfix;
  if (entry.compare(0, prefix.size(), prefix) != 0) return 0;
  const char* digits = entry.c_str() + prefix.size();
  char* end = nullptr;
  const unsigned long long pid = std::strtoull(digits, &end, 10);
  if (end == digits || *end != '.' || pid == 0 || pid > UINT32_MAX) return 0;
  for (const char* counter = end + 1; *counter != '\0'; ++counter) {
    if (*counter < '0' || *counter > '9') return 0;
  }
  return static_cast<uint32_t>(pid);
}

}  // namespace

std::string WriteTemporaryFile(const char* path, const void* data, size_t size, const char* /*modeReference*/) {
  if (!path || !*path || (!data && size > 0)) return {};
  std::string temporaryPath;
  HANDLE file = CreateTemporaryFile(path, temporaryPath);
  if (file == INVALID_HANDLE_VALUE) {
    win32::FailFromSystem();
    return {};
  }
  CountFileStep();
  if (!FillFile(file, data, size)) {
    win32::FailFromSystem();
    ::DeleteFileA(temporaryPath.c_str());
    return {};
  }
  return temporaryPath;
}

bool CommitTemporaryFile(const std::string& temporary, const char* path) {
  if (!path || !*path || temporary.empty()) return false;
  if (!IsPlainFile(temporary.c_str())) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  if (!MayReplace(path)) {
    ::DeleteFileA(temporary.c_str());
    SetLastError(kErrorAccessDenied);
    return false;
  }
  if (!MoveOver(temporary, path)) {
    win32::FailFromSystem();
    ::DeleteFileA(temporary.c_str());
    return false;
  }
  CountFileStep();
  SetLastError(kErrorSuccess);
  return true;
}

bool WriteNewFile(const char* path, const void* data, size_t size, const char* /*modeReference*/) {
  if (!path || !*path || (!data && size > 0)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  HANDLE file = CreateExclusively(path);
  if (file == INVALID_HANDLE_VALUE) {
    const DWORD error = ::GetLastError();
    SetLastError(error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? kErrorAlreadyExists
                                                                               : kErrorAccessDenied);
    return false;
  }
  CountFileStep();
  if (!FillFile(file, data, size)) {
    ::DeleteFileA(path);
    SetLastError(kErrorAccessDenied);
    return false;
  }
  SetLastError(kErrorSuccess);
  return true;
}

// A writer killed between the temporary's creation and its move leaves the
// temporary behind; the next save of the file clears what the dead left.
void RemoveStaleTemporaries(const char* path) {
  if (!path || !*path) return;
  const std::string target(path);
  const std::string directory = DirectoryOf(target);
  const std::string name = NameOf(target);
  const uint32_t self = CurrentProcessId();
  for (const std::string& entry : ListDirectory(directory.c_str())) {
    const uint32_t owner = TemporaryOwner(entry, name);
    if (owner == 0 || owner == self || ProcessAlive(owner)) continue;
    if (::DeleteFileA(JoinPath(directory, entry).c_str())) CountFileStep();
  }
}

bool ReplaceFileAtomically(const char* path, const void* data, size_t size, const char* modeReference) {
  if (!path || !*path || (!data && size > 0)) return false;
  if (!MayReplace(path)) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  RemoveStaleTemporaries(path);
  const std::string temporary = WriteTemporaryFile(path, data, size, modeReference);
  return !temporary.empty() && CommitTemporaryFile(temporary, path);
}

}  // namespace storage::platform
