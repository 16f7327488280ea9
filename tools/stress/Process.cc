#include "Process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

extern char** environ;

namespace stress {

namespace {

int DecodeStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

int Spawn(const std::string& program, const std::vector<std::string>& arguments,
          posix_spawn_file_actions_t* actions) {
  std::vector<std::string> words{program};
  words.insert(words.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) argv.push_back(word.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  int error = 0;
  // A busy machine may refuse a start for a moment (EAGAIN), and a program
  // just linked may still be open for writing (ETXTBSY): try a few times.
  for (int attempt = 0; attempt < 50; ++attempt) {
    error = posix_spawn(&pid, program.c_str(), actions, nullptr, argv.data(), environ);
    if (error != EAGAIN && error != ETXTBSY) break;
    usleep(100 * 1000);
  }
  if (error != 0) throw std::runtime_error("cannot start " + program + ": " + std::strerror(error));
  return pid;
}

}  // namespace

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("cannot make a report pipe");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // dup2 clears close-on-exec on the child's copy; the parent's ends keep it.
  posix_spawn_file_actions_adddup2(&actions, ends[1], kReportDescriptor);
  try {
    pid_ = Spawn(program, arguments, &actions);
  } catch (...) {
    posix_spawn_file_actions_destroy(&actions);
    close(ends[0]);
    close(ends[1]);
    throw;
  }
  posix_spawn_file_actions_destroy(&actions);
  close(ends[1]);
  reportFd_ = ends[0];
  fcntl(reportFd_, F_SETFL, fcntl(reportFd_, F_GETFL) | O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  Kill();
  if (reportFd_ >= 0) close(reportFd_);
}

bool ChildProcess::ReadReports(std::vector<std::string>& lines) {
  if (reportFd_ < 0) return false;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(reportFd_, buffer, sizeof buffer);
    if (got > 0) {
      partial_.append(buffer, static_cast<size_t>(got));
      continue;
    }
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    // End of file: a line without its end was cut by a kill and is dropped.
    close(reportFd_);
    reportFd_ = -1;
    break;
  }
  size_t start = 0;
  for (size_t end = partial_.find('\n'); end != std::string::npos; end = partial_.find('\n', start)) {
    lines.push_back(partial_.substr(start, end - start));
    start = end + 1;
  }
  partial_.erase(0, start);
  if (reportFd_ < 0) partial_.clear();
  return reportFd_ >= 0;
}

std::optional<int> ChildProcess::TryReap() {
  if (status_ || pid_ <= 0) return status_;
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_, &status, WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid_) status_ = DecodeStatus(status);
  return status_;
}

std::optional<int> ChildProcess::WaitFor(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!TryReap()) {
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return status_;
}

void ChildProcess::Kill() {
  if (status_ || pid_ <= 0) return;
  kill(pid_, SIGKILL);
  int status = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_, &status, 0);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid_) status_ = DecodeStatus(status);
}

void WaitForReports(const std::vector<int>& descriptors, std::chrono::milliseconds limit) {
  std::vector<pollfd> polled;
  for (int fd : descriptors) polled.push_back(pollfd{fd, POLLIN, 0});
  poll(polled.data(), polled.size(), static_cast<int>(limit.count()));
}

void Report(const std::string& line) {
  const std::string text = line + "\n";
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t put = write(kReportDescriptor, text.data() + done, text.size() - done);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return;  // the controller is gone; the parent-death signal follows
    done += static_cast<size_t>(put);
  }
}

void FollowParent(int controllerPid) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  // The controller may have died before the call above took effect.
  if (getppid() != controllerPid) _exit(70);
}

std::string SelfExecutable() {
  char path[4096];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) throw std::runtime_error("cannot find the running executable");
  return std::string(path, static_cast<size_t>(length));
}

int CurrentPid() { return getpid(); }

std::string MakeTemporaryDirectory(const std::string& prefix) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("cannot make a directory " + pattern);
  return pattern;
}

namespace {
volatile sig_atomic_t g_interrupted = 0;
void OnInterrupt(int) { g_interrupted = 1; }
}  // namespace

void CatchInterrupts() {
  signal(SIGINT, OnInterrupt);
  signal(SIGTERM, OnInterrupt);
}

bool Interrupted() { return g_interrupted != 0; }

std::optional<int> RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                            const std::string& outputFile, std::chrono::milliseconds limit) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  int pid = -1;
  try {
    pid = Spawn(program, arguments, &actions);
  } catch (...) {
    posix_spawn_file_actions_destroy(&actions);
    throw;
  }
  posix_spawn_file_actions_destroy(&actions);
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int status = 0;
  for (;;) {
    const pid_t reaped = waitpid(pid, &status, WNOHANG);
    if (reaped == pid) return DecodeStatus(status);
    if (reaped < 0 && errno != EINTR) return std::nullopt;
    if (std::chrono::steady_clock::now() >= deadline) {
      kill(pid, SIGKILL);
      waitpid(pid, &status, 0);
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace stress
