// File-system calls on POSIX.
#include <dirent.h>
#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <stdexcept>
#include <vector>

#include "platform/Messages.h"
#include "platform/Platform.h"
#include "platform/posix/FileOwner.h"

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
  struct stat status;
  if (lstat(path, &status) == 0 && posix::IsForeignOwner(status.st_uid)) {
    SetLastError(kErrorAccessDenied);
    return false;
  }
  if (unlink(path) != 0) return Succeeded(false);
  CountFileStep();
  return Succeeded(true);
}

bool ReadStorageFile(const char* path, std::string* content, std::string* reason) {
  if (path == nullptr || content == nullptr) return NoPath();
  content->clear();
  const auto refuse = [&](uint32_t error, const char* why) {
    if (reason != nullptr) *reason = why;
    content->clear();
    SetLastError(error);
    return false;
  };
  const int descriptor = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (descriptor < 0) {
    // A path through a plain file names no file either.
    if (errno == ENOENT || errno == ENOTDIR) return refuse(kErrorFileNotFound, std::strerror(errno));
    return refuse(kErrorAccessDenied, errno == ELOOP ? messages::platform::kIsSymbolicLink : std::strerror(errno));
  }
  const posix::DescriptorCloser closer(descriptor);
  struct stat status;
  if (fstat(descriptor, &status) != 0) return refuse(kErrorAccessDenied, std::strerror(errno));
  if (!S_ISREG(status.st_mode)) return refuse(kErrorAccessDenied, messages::platform::kIsNotRegularFile);
  if (posix::IsForeignOwner(status.st_uid)) {
    return refuse(kErrorAccessDenied, messages::platform::kItBelongsToAnotherUser);
  }
  char buffer[64 * 1024];
  for (;;) {
    const ssize_t count = read(descriptor, buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) continue;
    if (count < 0) return refuse(kErrorAccessDenied, std::strerror(errno));
    if (count == 0) break;
    content->append(buffer, static_cast<size_t>(count));
  }
  SetLastError(kErrorSuccess);
  return true;
}

namespace {

std::string UserName(uid_t user) {
  std::vector<char> buffer(16384);
  struct passwd entry;
  struct passwd* found = nullptr;
  if (getpwuid_r(user, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
    return messages::platform::NamedUser(found->pw_name, user);
  }
  return messages::platform::Uid(user);
}

bool SharedDirectoryAllowed() {
  const char* allow = std::getenv("SETTINGSTORE_ALLOW_SHARED_DIRECTORY");
  return allow != nullptr && std::string(allow) == "1";
}

}  // namespace

bool CheckStorageDirectory(const char* path, std::string* problem) {
  if (path == nullptr) return NoPath();
  const std::string directory = *path ? path : ".";
  struct stat status;
  if (stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode) || SharedDirectoryAllowed()) {
    SetLastError(kErrorSuccess);
    return true;
  }
  std::string reason;
  if (posix::IsForeignOwner(status.st_uid)) {
    reason = messages::platform::kBelongsToAnotherUser;
  } else if ((status.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(status.st_mode & 07777));
    reason = messages::platform::WritableByOthers(mode);
  } else {
    SetLastError(kErrorSuccess);
    return true;
  }
  if (problem != nullptr) {
    *problem = messages::platform::SharedDirectoryRefused(directory, UserName(status.st_uid), reason);
  }
  SetLastError(kErrorAccessDenied);
  return false;
}

bool RenameFile(const char* from, const char* to) {
  if (from == nullptr || to == nullptr) return NoPath();
  if (rename(from, to) != 0) return Succeeded(false);
  CountFileStep();
  return Succeeded(true);
}

std::string CurrentDirectory() {
  std::vector<char> buffer(256);
  while (getcwd(buffer.data(), buffer.size()) == nullptr) {
    // Anything but a short buffer (the directory was removed, no permission)
    // leaves no way to make a path absolute.
    if (errno != ERANGE) throw std::runtime_error(messages::platform::kNoCurrentDirectory);
    buffer.resize(buffer.size() * 2);
  }
  return buffer.data();
}

std::vector<std::string> ListDirectory(const char* path) {
  std::vector<std::string> entries;
  if (path == nullptr) return entries;
  DIR* directory = opendir(path);
  if (directory == nullptr) return entries;
  while (const dirent* entry = readdir(directory)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") entries.push_back(name);
  }
  closedir(directory);
  return entries;
}

bool ProcessAlive(uint32_t processId) {
  if (processId == 0 || processId > static_cast<uint32_t>(INT32_MAX)) return false;
  if (kill(static_cast<pid_t>(processId), 0) != 0 && errno != EPERM) return false;
  // A killed child that nobody has reaped yet still answers, but has ended.
  std::ifstream stat("/proc/" + std::to_string(processId) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const size_t name = line.rfind(')');
  return name == std::string::npos || name + 2 >= line.size() ||
         (line[name + 2] != 'Z' && line[name + 2] != 'X');
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
  if (steps.fetch_add(1) + 1 >= limit) kill(getpid(), SIGKILL);
}

}  // namespace storage::platform
