// A helper process that a test starts and always ends: the destructor kills
// and reaps it when the test did not wait for it. Each suite that spawns one
// defines TEST_HELPER as the path of its helper executable; a test may run
// another program, with its standard streams redirected by `io`.
#ifndef SETTINGSTORE_TESTS_SUPPORT_HELPERPROCESS_H
#define SETTINGSTORE_TESTS_SUPPORT_HELPERPROCESS_H

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace settingstore::test {

class HelperProcess {
 public:
  // Runs `<program> <arguments...>`.
  explicit HelperProcess(const std::vector<std::string>& arguments,
                         const posix_spawn_file_actions_t* io = nullptr, const char* program = TEST_HELPER) {
    std::vector<std::string> words{program};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], io, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~HelperProcess() { Kill(); }
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // The exit code; 128 + the signal number when a signal ended it, -1 when it never started.
  int Wait() {
    if (Started() && !exited_) Reap(0);
    return status_;
  }

  // Like Wait(), but kills it when it has not ended within the limit and then
  // gives -1: a bound that keeps a broken helper from hanging the suite.
  int Wait(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (Running()) {
      if (std::chrono::steady_clock::now() > deadline) {
        Kill();
        return -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
  }

  // Whether it still runs.
  bool Running() { return Started() && !exited_ && !Reap(WNOHANG); }

  // SIGKILL, then reaps it.
  void Kill() {
    if (!Started() || exited_) return;
    kill(pid_, SIGKILL);
    Reap(0);
  }

 private:
  bool Reap(int options) {
    int status = 0;
    pid_t reaped = waitpid(pid_, &status, options);
    while (reaped < 0 && errno == EINTR) reaped = waitpid(pid_, &status, options);
    if (reaped != pid_) return false;
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  pid_t pid_ = -1;
  bool exited_ = false;
  int status_ = -1;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SUPPORT_HELPERPROCESS_H
