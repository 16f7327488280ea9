// The named-object tests' own names, the check that a test leaves no object
// file behind, and the helper process that they talk to through its
// standard input and output.
#ifndef SETTINGSTORE_TESTS_PLATFORM_NAMEDOBJECTTESTSUPPORT_H
#define SETTINGSTORE_TESTS_PLATFORM_NAMEDOBJECTTESTSUPPORT_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace storage::platform::testing {

inline std::string LocalObjectDirectory() { return "/dev/shm/settingstore-" + std::to_string(geteuid()); }
inline std::string GlobalObjectDirectory() { return "/dev/shm/settingstore-global"; }

// The files of a directory whose names start with the prefix.
inline std::vector<std::string> FilesStartingWith(const std::string& directory, const std::string& prefix) {
  std::vector<std::string> found;
  std::error_code missing;
  for (const auto& entry : std::filesystem::directory_iterator(directory, missing)) {
    if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path().filename());
  }
  return found;
}

// Names of the test's own: "Local\" + Stem() + suffix, whose object file is
// Stem() + suffix; none of their files may remain at the end.
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

// The helper ends when its input closes; the destructor kills it if the test did not end it.
class HelperProcess {
 public:
  explicit HelperProcess(std::vector<std::string> arguments) {
    int toChild[2], fromChild[2];
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
  pid_t pid() const { return pid_; }

  // The helper's next line, empty when it ended without one.
  std::string ReadLine() {
    char line[256];
    if (output_ == nullptr || fgets(line, sizeof line, output_) == nullptr) return "";
    std::string text = line;
    if (text.ends_with('\n')) text.pop_back();
    return text;
  }
  void WriteLine(const std::string& text) {
    ASSERT_EQ(write(input_, (text + "\n").data(), text.size() + 1), static_cast<ssize_t>(text.size() + 1));
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
