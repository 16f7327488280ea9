// A shared_test_helper process that a test starts and always ends: the
// destructor kills and reaps it when the test did not wait for it.
#ifndef SETTINGSTORE_TESTS_SHARED_HELPERPROCESS_H
#define SETTINGSTORE_TESTS_SHARED_HELPERPROCESS_H

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace settingstore::test {

class HelperProcess {
 public:
  // Runs `shared_test_helper <command> <args...>`.
  explicit HelperProcess(const std::vector<std::string>& arguments) {
    std::vector<std::string> words{SHARED_TEST_HELPER};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~HelperProcess() {
    if (pid_ > 0 && !exited_) Kill();
  }
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  bool Started() const { return pid_ > 0; }

  // The exit code; 128 + the signal number when a signal ended it.
  int Wait() {
    if (!exited_) Reap(0);
    return status_;
  }

  // Whether it still runs.
  bool Running() { return !exited_ && !Reap(WNOHANG); }

  // SIGKILL, then reaps it.
  void Kill() {
    if (exited_) return;
    kill(pid_, SIGKILL);
    Reap(0);
  }

 private:
  bool Reap(int options) {
    int status = 0;
    pid_t reaped;
    do {
      reaped = waitpid(pid_, &status, options);
    } while (reaped < 0 && errno == EINTR);
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

#endif  // SETTINGSTORE_TESTS_SHARED_HELPERPROCESS_H
