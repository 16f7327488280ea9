// A registry_test_helper process that a test starts and always ends: the
// destructor kills and reaps it when the test did not wait for it.
#ifndef SETTINGSTORE_TESTS_REGISTRY_REGISTRYHELPERPROCESS_H
#define SETTINGSTORE_TESTS_REGISTRY_REGISTRYHELPERPROCESS_H

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

namespace settingstore::test {

class RegistryHelperProcess {
 public:
  explicit RegistryHelperProcess(const std::vector<std::string>& arguments) {
    std::vector<std::string> words{REGISTRY_TEST_HELPER};
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) pid_ = -1;
  }
  ~RegistryHelperProcess() {
    if (pid_ > 0 && status_ < 0) {
      kill(pid_, SIGKILL);
      Wait();
    }
  }
  RegistryHelperProcess(const RegistryHelperProcess&) = delete;
  RegistryHelperProcess& operator=(const RegistryHelperProcess&) = delete;

  // The exit code; 128 + the signal number when a signal ended it.
  int Wait() {
    if (pid_ <= 0) return -1;
    if (status_ >= 0) return status_;
    int status = 0;
    pid_t reaped;
    do {
      reaped = waitpid(pid_, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_REGISTRY_REGISTRYHELPERPROCESS_H
