// A helper process that a test starts and always ends: the destructor kills
// and reaps it when the test did not wait for it. Each suite that spawns one
// defines TEST_HELPER as the path of its helper executable; a test may run
// another program, with its standard streams redirected by `io`.
#ifndef SETTINGSTORE_TESTS_SUPPORT_HELPERPROCESS_H
#define SETTINGSTORE_TESTS_SUPPORT_HELPERPROCESS_H

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace settingstore::test {

// Where a helper's standard streams go; an empty name leaves that stream as
// the test's own.
struct HelperStreams {
  std::string out;  // standard output to this file, made anew
  std::string err;  // standard error likewise
  bool inputPipe = false;  // standard input from a pipe that CloseInput() ends
#ifndef _WIN32
  int inputOutput = -1;  // a descriptor (a socket) for both input and output
#endif
};

class HelperProcess {
 public:
  // Runs `<program> <arguments...>`.
  explicit HelperProcess(const std::vector<std::string>& arguments, const HelperStreams* io = nullptr,
                         const char* program = TEST_HELPER);
  ~HelperProcess();
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  bool Started() const;
  int Pid() const;

  // The exit code; 128 + the signal number when a signal ended it (a kill
  // counts as signal 9 everywhere), -1 when it never started.
  int Wait();
  // Like Wait(), but kills it when it has not ended within the limit and then
  // gives -1: a bound that keeps a broken helper from hanging the suite.
  int Wait(std::chrono::milliseconds limit);
  // Whether it still runs.
  bool Running();
  // Kills it, then reaps it.
  void Kill();
  // Closes the write end of its input pipe, so that it reads end of file.
  void CloseInput();

 private:
  struct Native;  // the process's pid or handle, and its input pipe
  // Notes how it ended when it has; waits for that when `block`.
  bool Reap(bool block);

  std::unique_ptr<Native> native_;
  bool exited_ = false;
  int status_ = -1;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SUPPORT_HELPERPROCESS_H
