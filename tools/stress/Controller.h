// The controller: starts the workers, kills a random one now and then and
// starts another, watches every operation on the heartbeat board, and at the
// end has the storage verified by a fresh process and by `settingstore check`.
#ifndef SETTINGSTORE_TOOLS_STRESS_CONTROLLER_H
#define SETTINGSTORE_TOOLS_STRESS_CONTROLLER_H

#include <cstdint>
#include <string>

namespace stress {

struct RunOptions {
  std::string type = "shared";
  std::string directory;  // of the run; a fresh temporary one when empty
  bool keep = false;      // keep the directory even when the run passed
  bool discard = false;   // remove the directory even when the run failed
  double duration = 60;   // seconds of work
  size_t workers = 4;
  size_t threads = 3;
  int sections = 8;
  uint64_t seed = 0;  // 0: from the clock
  int killMinMs = 300;
  int killMaxMs = 2000;  // 0: no kills
  size_t minKills = 0;
  double watchdogSeconds = 5;
  std::string summaryPath;
  std::string cliPath;  // settingstore; found beside this program when empty
  std::string injection;
};

// The process's exit code: 0 when every check passed.
int RunController(const RunOptions& options);

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_CONTROLLER_H
