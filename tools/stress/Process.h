// Child processes of the controller, each with a pipe on which it reports
// (its descriptor 3), and the few process calls a worker makes about itself.
#ifndef SETTINGSTORE_TOOLS_STRESS_PROCESS_H
#define SETTINGSTORE_TOOLS_STRESS_PROCESS_H

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace stress {

// The descriptor on which a child writes its report lines.
constexpr int kReportDescriptor = 3;

class ChildProcess {
 public:
  // Starts `program arguments...` with the write end of a fresh pipe as
  // descriptor 3, in the controller's process group.
  ChildProcess(const std::string& program, const std::vector<std::string>& arguments);
  // Kills and reaps it if it still runs: nothing outlives its controller.
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  int Pid() const { return pid_; }
  int ReportDescriptor() const { return reportFd_; }

  // Reads what the pipe holds now; complete lines are appended to `lines`.
  // False once the child closed its end (it left or was killed).
  bool ReadReports(std::vector<std::string>& lines);

  // The exit status once it has ended (128 + signal when a signal ended it).
  std::optional<int> TryReap();
  // Waits up to `limit`; empty when it still runs.
  std::optional<int> WaitFor(std::chrono::milliseconds limit);
  void Kill();

 private:
  int pid_ = -1;
  int reportFd_ = -1;
  std::string partial_;
  std::optional<int> status_;
};

// Waits until one of the descriptors has data or `limit` passes.
void WaitForReports(const std::vector<int>& descriptors, std::chrono::milliseconds limit);

// Writes one report line (atomically: lines are far below the pipe's limit).
void Report(const std::string& line);

// The worker side: die with the controller, even when it is killed.
void FollowParent(int controllerPid);

// The running executable.
std::string SelfExecutable();
int CurrentPid();

// A new directory of its own under the system's temporary directory.
std::string MakeTemporaryDirectory(const std::string& prefix);

// SIGINT and SIGTERM end the run in order instead of orphaning its processes.
void CatchInterrupts();
bool Interrupted();

// Runs `program arguments...` to its end with output to `outputFile`, killing
// it after `limit`; its exit status, or empty when it had to be killed.
std::optional<int> RunToEnd(const std::string& program, const std::vector<std::string>& arguments,
                            const std::string& outputFile, std::chrono::milliseconds limit);

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_PROCESS_H
