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
#include <optional>
#include <string>

#include "platform/Platform.h"
#include "platform/posix/FileOwner.h"

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

// The permission bits that every existing one of the files grants; none
// when neither exists as a plain file of the caller's or root's.
std::optional<mode_t> ReferenceMode(const char* target, const char* modeReference) {
  std::optional<mode_t> mode;
  for (const char* path : {modeReference, target}) {
    struct stat info;
    if (path == nullptr || !*path || lstat(path, &info) != 0 || !S_ISREG(info.st_mode) ||
        posix::IsForeignOwner(info.st_uid)) {
      continue;
    }
    mode = mode.value_or(0777) & info.st_mode & 0777;
  }
  return mode;
}

// Creates `path` exclusively, never through a link. With no reference the
// umask narrows 0666 as for any new file; with one, the file starts private
// and then takes the reference's bits.
int CreateExclusively(const std::string& path, const char* target, const char* modeReference) {
  const std::optional<mode_t> mode = ReferenceMode(target, modeReference);
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode ? 0600 : 0666);
  if (fd >= 0 && mode && fchmod(fd, *mode) != 0) {
    const int error = errno;
    close(fd);
    unlink(path.c_str());
    errno = error;
    return -1;
  }
  return fd;
}

// Creates the temporary file under a name no other writer uses at the same time.
int CreateTemporaryFile(const std::string& path, const char* modeReference, std::string& temporaryPath) {
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < kMaxNameAttempts; ++attempt) {
    temporaryPath = path + kTemporaryInfix + std::to_string(getpid()) + "." + std::to_string(counter++);
    int fd = CreateExclusively(temporaryPath, path.c_str(), modeReference);
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

bool Flush(int fd) {
  if (fsync(fd) != 0) return false;
  CountFileStep();
  return true;
}

bool FillFile(int fd, const void* data, size_t size) {
  bool written = WriteAll(fd, static_cast<const char*>(data), size) && Flush(fd);
  return close(fd) == 0 && written;
}

// Whether the name is free, or holds something this process may replace: a
// plain file or link that is not foreign.
bool MayReplace(const char* path) {
  struct stat info;
  if (lstat(path, &info) != 0) return errno == ENOENT;
  return !S_ISDIR(info.st_mode) && !posix::IsForeignOwner(info.st_uid);
}

bool IsOwnPlainFile(const char* path) {
  struct stat info;
  return lstat(path, &info) == 0 && S_ISREG(info.st_mode) && info.st_uid == geteuid();
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

std::string WriteTemporaryFile(const char* path, const void* data, size_t size, const char* modeReference) {
  if (!path || !*path || (!data && size > 0)) return {};
  std::string temporaryPath;
  int fd = CreateTemporaryFile(path, modeReference, temporaryPath);
  if (fd < 0) return {};
  CountFileStep();
  if (!FillFile(fd, data, size)) {
    unlink(temporaryPath.c_str());
    return {};
  }
  return temporaryPath;
}

bool CommitTemporaryFile(const std::string& temporary, const char* path) {
  if (!path || !*path || temporary.empty()) return false;
  if (!IsOwnPlainFile(temporary.c_str())) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  if (!MayReplace(path)) {
    unlink(temporary.c_str());
    SetLastError(kErrorAccessDenied);
    return false;
  }
  if (rename(temporary.c_str(), path) != 0) {
    unlink(temporary.c_str());
    return false;
  }
  CountFileStep();
  SyncDirectory(DirectoryOf(path));
  return true;
}

bool WriteNewFile(const char* path, const void* data, size_t size, const char* modeReference) {
  if (!path || !*path || (!data && size > 0)) {
    SetLastError(kErrorInvalidParameter);
    return false;
  }
  int fd = CreateExclusively(path, nullptr, modeReference);
  if (fd < 0) {
    SetLastError(errno == EEXIST ? kErrorAlreadyExists : kErrorAccessDenied);
    return false;
  }
  CountFileStep();
  if (!FillFile(fd, data, size)) {
    unlink(path);
    SetLastError(kErrorAccessDenied);
    return false;
  }
  SetLastError(kErrorSuccess);
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
    const std::string stale = directory + "/" + entry;
    struct stat info;
    if (lstat(stale.c_str(), &info) != 0 || posix::IsForeignOwner(info.st_uid)) continue;
    if (unlink(stale.c_str()) == 0) CountFileStep();
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
