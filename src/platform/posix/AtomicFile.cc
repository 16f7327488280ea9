// Replacing a file so that a crash at any moment leaves the old content or
// the new one, never a mix: write a temporary file in the same directory,
// flush it, rename it over the target, then flush the directory entry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "platform/Platform.h"

namespace storage::platform {

namespace {

constexpr int kMaxNameAttempts = 100;

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Creates the temporary file with O_EXCL under a name no other writer uses
// at the same time; mode 0666 lets the umask decide as for any new file.
int CreateTemporaryFile(const std::string& path, std::string& temporaryPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    temporaryPath = path + ".tmp." + std::to_string(getpid()) + "." + std::to_string(counter++);
    int fd = open(temporaryPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

bool WriteAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<size_t>(written);
  }
  return true;
}

// The replacement keeps the permissions of the file it replaces.
bool KeepMode(int fd, const char* path) {
  struct stat existing;
  if (stat(path, &existing) != 0) return errno == ENOENT;
  return fchmod(fd, existing.st_mode & 07777) == 0;
}

bool WriteTemporaryFile(int fd, const char* path, const void* data, size_t size) {
  bool written = KeepMode(fd, path) && WriteAll(fd, static_cast<const char*>(data), size) && fsync(fd) == 0;
  return close(fd) == 0 && written;
}

// Makes the rename itself durable. Some file systems cannot sync a directory;
// the new content is in place either way, so this is best effort.
void SyncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);
  close(fd);
}

}  // namespace

bool ReplaceFileAtomically(const char* path, const void* data, size_t size) {
  if (!path || !*path || (!data && size > 0)) return false;
  std::string target(path);
  std::string temporaryPath;
  int fd = CreateTemporaryFile(target, temporaryPath);
  if (fd < 0) return false;
  if (!WriteTemporaryFile(fd, path, data, size) || rename(temporaryPath.c_str(), path) != 0) {
    unlink(temporaryPath.c_str());
    return false;
  }
  SyncDirectory(DirectoryOf(target));
  return true;
}

}  // namespace storage::platform
