#include "HoldRelease.h"

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "CliError.h"

namespace cli {

namespace {

sigset_t ReleaseSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}

CliError SystemError(const char* what) {
  return CliError(kFailure, std::string(what) + ": " + std::strerror(errno));
}

}  // namespace

HoldRelease::HoldRelease() {
  const sigset_t set = ReleaseSignals();
  // They stay blocked until the process ends: one that comes while the
  // storage is let go waits rather than cut that short.
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) throw SystemError("cannot block the signals");
  signals_ = signalfd(-1, &set, SFD_CLOEXEC);
  if (signals_ < 0) throw SystemError("cannot wait for signals");
}

HoldRelease::~HoldRelease() { close(signals_); }

void HoldRelease::WaitForRelease() {
  pollfd waited[] = {{STDIN_FILENO, POLLIN, 0}, {signals_, POLLIN, 0}};
  char buffer[4096];
  for (;;) {
    if (poll(waited, 2, -1) < 0) {
      if (errno == EINTR) continue;
      throw SystemError("cannot wait for standard input");
    }
    if (waited[1].revents != 0) return;
    // Hang-up, an error or a closed descriptor end the input as well.
    if (waited[0].revents == 0) continue;
    const ssize_t count = read(STDIN_FILENO, buffer, sizeof buffer);
    if (count == 0 || (count < 0 && errno != EINTR && errno != EAGAIN)) return;
  }
}

}  // namespace cli
