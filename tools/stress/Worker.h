// A worker process: M threads that run a random mix of section and key
// operations on one storage until the controller asks them to stop.
#ifndef SETTINGSTORE_TOOLS_STRESS_WORKER_H
#define SETTINGSTORE_TOOLS_STRESS_WORKER_H

#include <cstdint>
#include <string>

namespace stress {

// Faults planted on purpose, to show that the campaign catches them.
enum class Injection { kNone, kStall, kCorrupt, kPhantomAck };
Injection ParseInjection(const std::string& text);

struct WorkerOptions {
  std::string type = "shared";
  std::string storagePath;
  std::string boardPath;
  size_t slot = 0;
  uint32_t worker = 1;
  size_t threads = 3;
  int sections = 8;
  uint64_t seed = 1;
  int controllerPid = 0;
  // Keep section and key objects across operations, so that their elements
  // are deleted under them. Only where the backend allows it: XML objects
  // must not outlive their elements.
  bool keepHandles = true;
  Injection injection = Injection::kNone;
};

// The process's exit code: 0 when every check passed and it left in order.
int RunWorker(const WorkerOptions& options);

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_WORKER_H
