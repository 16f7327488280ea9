// Shared pieces of the named-object tests: names unique to one test, the check
// that a test leaves no object file behind, and helper processes.
#ifndef SETTINGSTORE_TESTS_PLATFORM_NAMEDOBJECTTESTSUPPORT_H
#define SETTINGSTORE_TESTS_PLATFORM_NAMEDOBJECTTESTSUPPORT_H

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace storage::platform::testing {

// The directory of "Local\" objects and of "Global\" ones.
inline std::string LocalObjectDirectory() { return "/dev/shm/settingstore-" + std::to_string(geteuid()); }
inline std::string GlobalObjectDirectory() { return "/dev/shm/settingstore-global"; }

// The files of a directory whose names start with the prefix.
inline std::vector<std::string> FilesStartingWith(const std::string& directory, const std::string& prefix) {
  std::vector<std::string> found;
  if (DIR* listing = opendir(directory.c_str())) {
    while (const dirent* entry = readdir(listing)) {
      if (std::string(entry->d_name).starts_with(prefix)) found.push_back(entry->d_name);
    }
    closedir(listing);
  }
  return found;
}

// Gives each test names of its own ("Local\" + Stem() + suffix, with plain
// characters only, so that the object file is Stem() + suffix) and checks at
// the end that none of their files remains.
class NamedObjectTest : public ::testing::Test {
 protected:
  NamedObjectTest() {
    static int counter = 0;
    stem_ = "pt" + std::to_string(getpid()) + "-" + std::to_string(++counter) + "-";
  }
  void TearDown() override {
    EXPECT_TRUE(FilesStartingWith(LocalObjectDirectory(), stem_).empty()) << "object files left behind";
    EXPECT_TRUE(FilesStartingWith(GlobalObjectDirectory(), stem_).empty()) << "object files left behind";
  }
  const std::string& Stem() const { return stem_; }
  std::string Name(const std::string& suffix) const { return "Local\\" + stem_ + suffix; }
  bool FileExists(const std::string& suffix) const {
    return !FilesStartingWith(LocalObjectDirectory(), stem_ + suffix).empty();
  }

 private:
  std::string stem_;
};

// A run of the tests' helper executable, talking through its standard input
// and output. The helper ends when its input closes; the destructor kills it
// if the test did not end it.
class HelperProcess {
 public:
  explicit HelperProcess(std::vector<std::string> arguments) {
    int toChild[2];
    int fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
    arguments.insert(arguments.begin(), PLATFORM_TEST_HELPER);
    std::vector<char*> argv;
    for (std::string& argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, PLATFORM_TEST_HELPER, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    input_ = toChild[1];
    output_ = fdopen(fromChild[0], "r");
  }
  ~HelperProcess() {
    if (pid_ > 0) Kill();
    if (input_ >= 0) close(input_);
    if (output_ != nullptr) fclose(output_);
  }
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  pid_t pid() const { return pid_; }

  // The helper's next line, empty when it ended without one.
  std::string ReadLine() {
    char line[256];
    if (output_ == nullptr || fgets(line, sizeof line, output_) == nullptr) return "";
    std::string text = line;
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
  }

  void WriteLine(const std::string& text) {
    std::string line = text + "\n";
    ASSERT_EQ(write(input_, line.data(), line.size()), static_cast<ssize_t>(line.size()));
  }

  void Kill() {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // Lets the helper end normally; its exit status.
  int Finish() {
    close(input_);
    input_ = -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  FILE* output_ = nullptr;
};

}  // namespace storage::platform::testing

#endif  // SETTINGSTORE_TESTS_PLATFORM_NAMEDOBJECTTESTSUPPORT_H
