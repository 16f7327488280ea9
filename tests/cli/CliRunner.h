// Runs the built settingstore tool in a temporary directory of its own and
// collects what it wrote and how it ended. The directory goes with the runner.
#ifndef SETTINGSTORE_TESTS_CLI_CLIRUNNER_H
#define SETTINGSTORE_TESTS_CLI_CLIRUNNER_H

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace settingstore::test {

struct CliResult {
  int status = -1;  // 128 + the signal number when a signal ended it
  std::string out;
  std::string err;
};

class CliRunner {
 public:
  CliRunner() {
    std::random_device random;
    dir_ = std::filesystem::temp_directory_path() / ("settingstore-cli-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
  }
  ~CliRunner() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }
  CliRunner(const CliRunner&) = delete;
  CliRunner& operator=(const CliRunner&) = delete;

  const std::filesystem::path& dir() const { return dir_; }
  std::string file(const std::string& name) const { return (dir_ / name).string(); }

  void writeFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(file(name), std::ios::binary) << bytes;
  }
  std::string readFile(const std::string& name) const {
    std::ifstream in(file(name), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

  // With stackKib, the tool runs with its stack limited to that many KiB
  // (through the shell's ulimit), so that a deep recursion shows at once.
  CliResult run(const std::vector<std::string>& arguments, int stackKib = 0) const {
    const std::string out = file(".cli-out");
    const std::string err = file(".cli-err");
    std::vector<std::string> words;
    if (stackKib > 0) {
      words = {"/bin/sh", "-c", "ulimit -s " + std::to_string(stackKib) + " && exec \"$0\" \"$@\""};
    }
    words.push_back(SETTINGSTORE_CLI);
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    CliResult result;
    if (spawned != 0) return result;
    int status = 0;
    pid_t reaped;
    do {
      reaped = waitpid(pid, &status, 0);
    } while (reaped < 0 && errno == EINTR);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.out = readFile(".cli-out");
    result.err = readFile(".cli-err");
    std::filesystem::remove(out);
    std::filesystem::remove(err);
    return result;
  }

 private:
  std::filesystem::path dir_;
};

// The storage options that select one backend inside the runner's directory.
inline std::vector<std::string> XmlStorage(const CliRunner& runner) {
  std::filesystem::create_directories(runner.file("xml"));
  return {"--type", "xml", "--path", runner.file("xml")};
}
inline std::vector<std::string> RegistryStorage(const CliRunner& runner) {
  return {
      "--type", "registry", "--registry-db", runner.file("registry.db"), "--path", "HKCU\\Software\\CliTest"};
}

inline std::vector<std::string> SharedStorage(const CliRunner& runner) {
  return {"--type", "shared", "--path", runner.file("dom")};
}

inline std::vector<std::string> operator+(std::vector<std::string> storage,
                                          const std::vector<std::string>& rest) {
  storage.insert(storage.end(), rest.begin(), rest.end());
  return storage;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_CLI_CLIRUNNER_H
