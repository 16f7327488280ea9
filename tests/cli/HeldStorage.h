// A `settingstore ... hold` process that keeps a shared storage open while a
// test runs other commands on it. It lets go when its standard input closes;
// the destructor closes it and reaps the process (killing it if it hangs).
#ifndef SETTINGSTORE_TESTS_CLI_HELDSTORAGE_H
#define SETTINGSTORE_TESTS_CLI_HELDSTORAGE_H

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "cli/CliRunner.h"

namespace settingstore::test {

class HeldStorage {
 public:
  // Starts the tool with `storage` + "hold" and waits until it reports the
  // storage open.
  HeldStorage(const CliRunner& runner, const std::vector<std::string>& storage)
      : runner_(runner), output_(runner.file(".hold-out")) {
    int pipeEnds[2];
    if (pipe2(pipeEnds, O_CLOEXEC) != 0) return;
    input_ = pipeEnds[1];
    std::vector<std::string> words{SETTINGSTORE_CLI};
    words.insert(words.end(), storage.begin(), storage.end());
    words.push_back("hold");
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeEnds[0], 0);
    posix_spawn_file_actions_addopen(&actions, 1, output_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(pipeEnds[0]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (pid_ > 0 && runner_.readFile(".hold-out").find("holding") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~HeldStorage() {
    if (Release() < 0 && pid_ > 0) {
      kill(pid_, SIGKILL);
      Reap(0);
    }
  }
  HeldStorage(const HeldStorage&) = delete;
  HeldStorage& operator=(const HeldStorage&) = delete;

  bool Holding() const {
    return pid_ > 0 && runner_.readFile(".hold-out").find("holding") != std::string::npos;
  }

  // Closes its input and waits for it to leave: its exit status, or -1 when
  // it did not end within the limit.
  int Release() {
    if (input_ >= 0) close(input_);
    input_ = -1;
    return Wait();
  }

  // Sends it the signal, its input still open, and waits as Release does.
  int Stop(int signal) {
    if (pid_ > 0 && status_ < 0) kill(pid_, signal);
    return Wait();
  }

 private:
  int Wait() {
    if (pid_ <= 0 || status_ >= 0) return status_;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!Reap(WNOHANG)) {
      if (std::chrono::steady_clock::now() > deadline) return -1;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return status_;
  }

  bool Reap(int options) {
    int status = 0;
    pid_t reaped;
    do {
      reaped = waitpid(pid_, &status, options);
    } while (reaped < 0 && errno == EINTR);
    if (reaped != pid_) return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  const CliRunner& runner_;
  std::string output_;
  int input_ = -1;
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_CLI_HELDSTORAGE_H
