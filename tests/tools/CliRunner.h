// Runs the built settingstore tool in a temporary directory of its own and
// collects what it wrote and how it ended; HeldStorage keeps a shared storage
// open in a `hold` process meanwhile. Both end what they start.
#ifndef SETTINGSTORE_TESTS_TOOLS_CLIRUNNER_H
#define SETTINGSTORE_TESTS_TOOLS_CLIRUNNER_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {

using Words = std::vector<std::string>;

inline Words operator+(Words first, const Words& rest) {
  first.insert(first.end(), rest.begin(), rest.end());
  return first;
}

struct CliResult {
  int status = -1;  // 128 + the signal number when a signal ended it
  std::string out;
  std::string err;
};

// Standard output (and error, unless `err` is empty) redirected to files;
// with `input`, standard input read from that descriptor.
struct Redirection {
  Redirection(const std::string& out, const std::string& err, int input = -1) {
    posix_spawn_file_actions_init(&io);
    if (input >= 0) posix_spawn_file_actions_adddup2(&io, input, 0);
    posix_spawn_file_actions_addopen(&io, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (!err.empty()) posix_spawn_file_actions_addopen(&io, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  }
  ~Redirection() { posix_spawn_file_actions_destroy(&io); }
  posix_spawn_file_actions_t io;
};

class CliRunner {
 public:
  std::string File(const std::string& name) const { return directory_.File(name); }
  void WriteFile(const std::string& name, const std::string& bytes) const {
    std::ofstream(File(name), std::ios::binary) << bytes;
  }
  std::string ReadFile(const std::string& name) const {
    std::ifstream in(File(name), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }

  // With stackKib, the tool runs with its stack limited to that many KiB, so
  // that a deep recursion shows at once. A run that hangs is killed (status -1).
  CliResult Run(Words arguments, int stackKib = 0) const {
    const Redirection to(File(".cli-out"), File(".cli-err"));
    const std::string limit = "ulimit -s " + std::to_string(stackKib) + " && exec \"$0\" \"$@\"";
    if (stackKib > 0) arguments = Words{"-c", limit, SETTINGSTORE_CLI} + arguments;
    const int status = HelperProcess(arguments, &to.io, stackKib > 0 ? "/bin/sh" : SETTINGSTORE_CLI)
                           .Wait(std::chrono::minutes(2));
    return {status, ReadFile(".cli-out"), ReadFile(".cli-err")};
  }
  // A run that must succeed: what it wrote to standard output.
  std::string Ok(const Words& arguments) const {
    const CliResult result = Run(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  }

 private:
  TempDirectory directory_;
};

// The storage options that select one backend inside the runner's directory.
inline Words XmlStorage(const CliRunner& runner) {
  std::filesystem::create_directories(runner.File("xml"));
  return {"--type", "xml", "--path", runner.File("xml")};
}
inline Words RegistryStorage(const CliRunner& runner) {
  return {
      "--type", "registry", "--registry-db", runner.File("registry.db"), "--path", "HKCU\\Software\\CliTest"};
}
inline Words SharedStorage(const CliRunner& runner) { return {"--type", "shared", "--path", runner.File("dom")}; }

// `settingstore <storage> hold`, which lets go when its standard input closes.
class HeldStorage {
 public:
  // Returns once the process reports the storage open (or has ended).
  HeldStorage(const CliRunner& runner, const Words& storage) : runner_(runner) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) return;
    input_ = ends[1];
    const Redirection to(runner.File(".hold-out"), "", ends[0]);
    process_.emplace(storage + Words{"hold"}, &to.io, SETTINGSTORE_CLI);
    close(ends[0]);
    for (int tries = 0; tries < 4000 && !Holding() && process_->Running(); ++tries) usleep(5000);
  }
  ~HeldStorage() { Stop(0); }

  bool Holding() const { return runner_.ReadFile(".hold-out").find("holding") != std::string::npos; }
  // Sends it the signal (with 0, closes its input instead) and gives its exit
  // status, or -1 when it did not end within the limit (it is killed then).
  int Stop(int signal) {
    if (signal != 0 && process_ && process_->Running()) kill(process_->Pid(), signal);
    if (signal == 0 && input_ >= 0) close(std::exchange(input_, -1));
    return process_ ? process_->Wait(std::chrono::seconds(20)) : -1;
  }

 private:
  const CliRunner& runner_;
  std::optional<HelperProcess> process_;
  int input_ = -1;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_TOOLS_CLIRUNNER_H
