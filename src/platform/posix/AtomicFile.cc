// Replacing a file so that a crash at any moment leaves the old content or
// the new one, never a mix: write a temporary file in the same directory,
// flush it, rename it over the target, then flush the directory entry.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Platform.h"

namespace storage::platform {

namespace {

constexpr int kMaxNameAttempts = 100;
constexpr const char kTemporaryInfix[] = ".tmp.";

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Creates the temporary file with O_EXCL under a name no other writer uses
// at the same time; mode 0666 lets the umask decide as for any new file.
int CreateTemporaryFile(const std::string& path, std::string& temporaryPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    temporaryPath = path + kTemporaryInfix + std::to_string(getpid()) + "." + std::to_string(counter++);
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
    CountFileStep();
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

bool Flush(int fd) {
  if (fsync(fd) != 0) return false;
  CountFileStep();
  return true;
}

bool FillTemporaryFile(int fd, const char* path, const void* data, size_t size) {
  bool written = KeepMode(fd, path) && WriteAll(fd, static_cast<const char*>(data), size) && Flush(fd);
  return close(fd) == 0 && written;
}

// Makes the rename itself durable. Some file systems cannot sync a directory;
// the new content is in place either way, so this is best effort.
void SyncDirectory(const std::string& directory) {
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  Flush(fd);
  close(fd);
}

// The writer's process id in "<name>.tmp.<pid>.<n>", or 0 when the name is
// not a temporary of that file.
uint32_t TemporaryOwner(const std::string& entry, const std::string& name) {
  const std::string prefix = name + kTemporaryInfix;
  if (entry.compare(0, prefix.size(), prefix) != 0) return 0;
  const char* digits = entry.c_str() + prefix.size();
  char* end = nullptr;
  const unsigned long pid = std::strtoul(digits, &end, 10);
  if (end == digits || *end != '.' || pid == 0 || pid > UINT32_MAX) return 0;
  for (const char* counter = end + 1; *counter != '\0'; ++counter) {
    if (*counter < '0' || *counter > '9') return 0;
  }
  return static_cast<uint32_t>(pid);
}

}  // namespace

std::string WriteTemporaryFile(const char* path, const void* data, size_t size) {
  if (!path || !*path || (!data && size > 0)) return {};
  std::string temporaryPath;
  int fd = CreateTemporaryFile(path, temporaryPath);
  if (fd < 0) return {};
  CountFileStep();
  if (!FillTemporaryFile(fd, path, data, size)) {
    unlink(temporaryPath.c_str());
    return {};
  }
  return temporaryPath;
}

bool CommitTemporaryFile(const std::string& temporary, const char* path) {
  if (!path || !*path || temporary.empty()) return false;
  if (rename(temporary.c_str(), path) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  CountFileStep();
  SyncDirectory(DirectoryOf(path));
  return true;
}

// A writer killed between the temporary's creation and its rename leaves
// the temporary behind; the next save of the file clears what the dead left.
void RemoveStaleTemporaries(const char* path) {
  if (!path || !*path) return;
  const std::string target(path);
  const std::string directory = DirectoryOf(target);
  const std::string name = NameOf(target);
  const uint32_t self = static_cast<uint32_t>(getpid());
  for (const std::string& entry : ListDirectory(directory.c_str())) {
    const uint32_t owner = TemporaryOwner(entry, name);
    if (owner == 0 || owner == self || ProcessAlive(owner)) continue;
    if (unlink((directory + "/" + entry).c_str()) == 0) CountFileStep();
  }
}

bool ReplaceFileAtomically(const char* path, const void* data, size_t size) {
  if (!path || !*path || (!data && size > 0)) return false;
  RemoveStaleTemporaries(path);
  const std::string temporary = WriteTemporaryFile(path, data, size);
  return !temporary.empty() && CommitTemporaryFile(temporary, path);
}

}  // namespace storage::platform
