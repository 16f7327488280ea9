// Advisory file locks on POSIX: flock on a lock file of its own, which the
// kernel releases with the last descriptor, so a killed holder never blocks
// the others.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/Platform.h"

namespace storage::platform {

namespace {

constexpr uint32_t kPollMs = 5;

class PosixFileLock : public FileLock {
 public:
  explicit PosixFileLock(int descriptor) : descriptor_(descriptor) {}
  ~PosixFileLock() override { close(descriptor_); }  // closing drops the lock

 private:
  const int descriptor_;
};

// Created exclusively when missing, so that a name planted meanwhile is
// opened like any existing file: never through a symbolic link.
int OpenLockFile(const char* path) {
  for (;;) {
    int descriptor = open(path, O_RDONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (descriptor >= 0 || errno != EEXIST) return descriptor;
    // Non-blocking, so that a FIFO planted under the name cannot hang the open.
    descriptor = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (descriptor >= 0 || errno != ENOENT) return descriptor;
  }
}

// Another user who owns the lock file could hold it for ever.
bool Trusted(int descriptor) {
  struct stat status;
  if (fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) return false;
  return status.st_uid == geteuid() || status.st_uid == 0;
}

}  // namespace

std::unique_ptr<FileLock> FileLock::Acquire(const char* path, uint32_t milliseconds) {
  if (path == nullptr) {
    SetLastError(kErrorFileNotFound);
    return nullptr;
  }
  const int descriptor = OpenLockFile(path);
  if (descriptor < 0) {
    // Only a missing directory is "not found": a lock file that is there but
    // cannot be opened (another user's 0600 file) must not let writers in unlocked.
    SetLastError(errno == ENOENT || errno == ENOTDIR ? kErrorFileNotFound : kErrorAccessDenied);
    return nullptr;
  }
  if (!Trusted(descriptor)) {
    close(descriptor);
    SetLastError(kErrorAccessDenied);
    return nullptr;
  }
  const uint64_t deadline = TickCountMs() + milliseconds;
  while (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
    const bool heldByOthers = errno == EWOULDBLOCK || errno == EINTR;
    if (!heldByOthers || TickCountMs() >= deadline) {
      close(descriptor);
      SetLastError(heldByOthers ? kErrorSharingViolation : kErrorGenFailure);
      return nullptr;
    }
    SleepMs(kPollMs);
  }
  SetLastError(kErrorSuccess);
  return std::make_unique<PosixFileLock>(descriptor);
}

}  // namespace storage::platform
