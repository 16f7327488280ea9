// Runs the built settingstore tool in a temporary directory of its own and
// collects what it wrote and how it ended; HeldStorage keeps a shared storage
// open in a `hold` process meanwhile. Both end what they start.
#ifndef SETTINGSTORE_TESTS_TOOLS_CLIRUNNER_H
#define SETTINGSTORE_TESTS_TOOLS_CLIRUNNER_H

#include <gtest/gtest.h>
#ifndef _WIN32
#include <signal.h>
#endif

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "base/PathUtils.h"
#include "platform/Platform.h"
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

class CliRunner {
 public:
  CliRunner() = default;
  // Removes the registry key RegistryKey() gave out, which on Windows is in
  // the registry every test shares.
  ~CliRunner() {
    if (registryKey_.empty()) return;
    Run({"--type", "registry", "--registry-db", File("registry.db"), "--path", "HKCU\\Software", "rmsection", "-r",
         registryKey_});
  }
  CliRunner(const CliRunner&) = delete;
  CliRunner& operator=(const CliRunner&) = delete;

  std::string File(const std::string& name) const { return directory_.File(name); }
  void WriteFile(const std::string& name, const std::string& bytes) const {
    EXPECT_TRUE(storage::utils::WriteWholeFile(File(name), bytes)) << name;
  }
  std::string ReadFile(const std::string& name) const { return storage::utils::ReadWholeFile(File(name)); }

  // With stackKib, the tool runs with its stack limited to that many KiB, so
  // that a deep recursion shows at once; not on Windows, where the executable
  // fixes its stack size. A run that hangs is killed (status -1).
  CliResult Run(Words arguments, int stackKib = 0) const {
#ifdef _WIN32
    stackKib = 0;
#endif
    const HelperStreams to{File(".cli-out"), File(".cli-err")};
    const std::string limit = "ulimit -s " + std::to_string(stackKib) + " && exec \"$0\" \"$@\"";
    if (stackKib > 0) arguments = Words{"-c", limit, SETTINGSTORE_CLI} + arguments;
    const int status = HelperProcess(arguments, &to, stackKib > 0 ? "/bin/sh" : SETTINGSTORE_CLI)
                           .Wait(std::chrono::minutes(2));
    return {status, ReadOutput(".cli-out"), ReadOutput(".cli-err")};
  }
  // What the tool wrote to a stream, whose lines end in CR LF on Windows.
  std::string ReadOutput(const std::string& name) const {
    std::string text = ReadFile(name);
#ifdef _WIN32
    for (size_t at = text.find("\r\n"); at != std::string::npos; at = text.find("\r\n", at)) text.erase(at, 1);
#endif
    return text;
  }
  // "HKCU\\Software\\<key>", a key of this runner's own.
  std::string RegistryKey() const {
    static int made = 0;
    if (registryKey_.empty()) {
      registryKey_ = "CliTest-" + std::to_string(storage::platform::CurrentProcessId()) + "-" + std::to_string(++made);
    }
    return "HKCU\\Software\\" + registryKey_;
  }
  // A run that must succeed: what it wrote to standard output.
  std::string Ok(const Words& arguments) const {
    const CliResult result = Run(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  }

 private:
  TempDirectory directory_;
  mutable std::string registryKey_;
};

// The storage options that select one backend inside the runner's directory.
inline Words XmlStorage(const CliRunner& runner) {
  std::filesystem::create_directories(runner.File("xml"));
  return {"--type", "xml", "--path", runner.File("xml")};
}
inline Words RegistryStorage(const CliRunner& runner) {
  return {"--type", "registry", "--registry-db", runner.File("registry.db"), "--path", runner.RegistryKey()};
}
inline Words SharedStorage(const CliRunner& runner) { return {"--type", "shared", "--path", runner.File("dom")}; }

// `settingstore <storage> hold`, which lets go when its standard input closes.
class HeldStorage {
 public:
  // Returns once the process reports the storage open (or has ended).
  HeldStorage(const CliRunner& runner, const Words& storage) : runner_(runner) {
    const HelperStreams to{runner.File(".hold-out"), "", true};
    process_.emplace(storage + Words{"hold"}, &to, SETTINGSTORE_CLI);
    for (int tries = 0; tries < 4000 && !Holding() && process_->Running(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  ~HeldStorage() { Stop(0); }

  bool Holding() const { return runner_.ReadFile(".hold-out").find("holding") != std::string::npos; }
  // Sends it the signal (with 0, closes its input instead) and gives its exit
  // status, or -1 when it did not end within the limit (it is killed then).
  int Stop(int signal) {
#ifndef _WIN32
    if (signal != 0 && process_ && process_->Running()) kill(process_->Pid(), signal);
#endif
    if (signal == 0 && process_) process_->CloseInput();
    return process_ ? process_->Wait(std::chrono::seconds(20)) : -1;
  }

 private:
  const CliRunner& runner_;
  std::optional<HelperProcess> process_;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_TOOLS_CLIRUNNER_H
