// Waiting for change: a shared futex for words, an eventfd for event loops,
// inotify on the directory for a file (a file replaced by rename is a new
// inode, which a watch on the file itself would not follow).
#include <linux/futex.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

#include "platform/Platform.h"

namespace storage::platform {

void WaitOnWord(uint32_t* word, uint32_t expected, uint32_t milliseconds) {
  timespec timeout{static_cast<time_t>(milliseconds / 1000), static_cast<long>(milliseconds % 1000) * 1000000L};
  // Not FUTEX_PRIVATE: the word may be shared with other processes.
  syscall(SYS_futex, word, FUTEX_WAIT, expected, &timeout, nullptr, 0);
}

void WakeWordWaiters(uint32_t* word) { syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

WakeEvent::WakeEvent() : handle_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (handle_ < 0) throw std::runtime_error(std::string("eventfd: ") + std::strerror(errno));
}

WakeEvent::~WakeEvent() { close(static_cast<int>(handle_)); }

void WakeEvent::Signal() {
  const uint64_t one = 1;
  // A full counter is still readable: nothing is lost when the write fails.
  [[maybe_unused]] ssize_t written = write(static_cast<int>(handle_), &one, sizeof(one));
}

void WakeEvent::Clear() {
  uint64_t count;
  [[maybe_unused]] ssize_t read_ = read(static_cast<int>(handle_), &count, sizeof(count));
}

FileChangeWatch::FileChangeWatch(const std::string& path) : handle_(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (handle_ < 0) throw std::runtime_error(std::string("inotify: ") + std::strerror(errno));
  const size_t slash = path.rfind('/');
  const std::string directory = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  name_ = slash == std::string::npos ? path : path.substr(slash + 1);
  constexpr uint32_t kEvents = IN_CLOSE_WRITE | IN_MOVED_TO | IN_CREATE | IN_DELETE | IN_MOVED_FROM;
  if (inotify_add_watch(static_cast<int>(handle_), directory.c_str(), kEvents) < 0) {
    const std::string reason = std::strerror(errno);
    close(static_cast<int>(handle_));
    throw std::runtime_error("inotify on " + directory + ": " + reason);
  }
}

FileChangeWatch::~FileChangeWatch() { close(static_cast<int>(handle_)); }

bool FileChangeWatch::Wait(uint32_t milliseconds) {
  pollfd ready{static_cast<int>(handle_), POLLIN, 0};
  if (poll(&ready, 1, static_cast<int>(milliseconds)) <= 0) return false;
  alignas(inotify_event) char buffer[4096];
  bool changed = false;
  ssize_t length;
  while ((length = read(static_cast<int>(handle_), buffer, sizeof(buffer))) > 0) {
    for (ssize_t at = 0; at < length;) {
      const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
      // The overflow event names nothing: any file may have changed.
      if ((event->mask & IN_Q_OVERFLOW) != 0 || (event->len > 0 && name_ == event->name)) changed = true;
      at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
    }
  }
  return changed;
}

}  // namespace storage::platform
