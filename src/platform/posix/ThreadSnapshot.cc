// Which process a thread belongs to, read from /proc: every thread of the
// system, also one of another process, has /proc/<tid>/status.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "platform/Messages.h"
#include "platform/Platform.h"

namespace storage::platform {

namespace {

// The value after "<field>:" in a status text, or null.
const char* StatusField(const char* status, const char* field) {
  size_t length = strlen(field);
  for (const char* line = status; line != nullptr && *line != '\0';) {
    if (strncmp(line, field, length) == 0 && line[length] == ':') return line + length + 1;
    line = strchr(line, '\n');
    if (line != nullptr) ++line;
  }
  return nullptr;
}

[[noreturn]] void ThrowNoSnapshot() { throw std::runtime_error(messages::platform::kNoSnapshot); }

}  // namespace

std::optional<uint32_t> ThreadOwnerProcess(uint32_t threadId) {
  char path[32];
  snprintf(path, sizeof path, "/proc/%u/status", threadId);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // A missing entry means no such thread, as long as /proc itself answers.
    if (errno == ENOENT && access("/proc/self/status", R_OK) == 0) return std::nullopt;
    ThrowNoSnapshot();
  }
  // State and Tgid are among the first lines; the rest is not needed.
  char status[1024];
  ssize_t length;
  do {
    length = read(fd, status, sizeof status - 1);
  } while (length < 0 && errno == EINTR);
  int readError = errno;
  close(fd);
  if (length < 0) {
    if (readError == ESRCH) return std::nullopt;  // ended between open and read
    ThrowNoSnapshot();
  }
  status[length] = '\0';

  const char* state = StatusField(status, "State");
  const char* tgid = StatusField(status, "Tgid");
  if (state == nullptr || tgid == nullptr) ThrowNoSnapshot();
  state += strspn(state, " \t");
  // A zombie or dead thread has ended; only its entry has not been reaped yet.
  if (*state == 'Z' || *state == 'X') return std::nullopt;
  return static_cast<uint32_t>(strtoul(tgid, nullptr, 10));
}

}  // namespace storage::platform
