// File-system calls on POSIX.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

#include "platform/Platform.h"

namespace storage::platform {

namespace {

// The layer's numbers know no "access denied": any failure other than these
// reads as "not found", the path could not be reached.
uint32_t ErrorFromErrno(int error) {
  switch (error) {
    case EEXIST:
      return kErrorAlreadyExists;
    case ENOMEM:
      return kErrorNotEnoughMemory;
    default:
      return kErrorFileNotFound;
  }
}

bool Succeeded(bool success) {
  SetLastError(success ? kErrorSuccess : ErrorFromErrno(errno));
  return success;
}

bool NoPath() {
  SetLastError(kErrorFileNotFound);
  return false;
}

}  // namespace

bool PathExists(const char* path) {
  if (path == nullptr) return NoPath();
  return Succeeded(access(path, F_OK) == 0);
}

bool IsDirectory(const char* path) {
  if (path == nullptr) return NoPath();
  struct stat status;
  if (stat(path, &status) != 0) return Succeeded(false);
  SetLastError(kErrorSuccess);
  return S_ISDIR(status.st_mode);
}

bool MakeDirectory(const char* path) {
  if (path == nullptr) return NoPath();
  // The process's umask narrows the mode as for any other program.
  return Succeeded(mkdir(path, 0777) == 0);
}

bool RemoveFile(const char* path) {
  if (path == nullptr) return NoPath();
  return Succeeded(unlink(path) == 0);
}

bool CreateNewFile(const char* path) {
  if (path == nullptr) return NoPath();
  const int descriptor = open(path, O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
  if (descriptor < 0) return Succeeded(false);
  close(descriptor);
  return Succeeded(true);
}

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    // Anything but a short buffer (the directory was removed, no permission)
    // leaves no way to make a path absolute.
    if (errno != ERANGE) throw std::runtime_error("Unable to get the current directory");
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

}  // namespace storage::platform
