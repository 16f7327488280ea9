// The verifier: a fresh process that opens the storage after every worker has
// left, reads the whole tree, checks every value and every name, and checks
// that each acknowledged write of an owned key is there.
#ifndef SETTINGSTORE_TOOLS_STRESS_VERIFIER_H
#define SETTINGSTORE_TOOLS_STRESS_VERIFIER_H

#include <string>

namespace stress {

struct VerifyOptions {
  std::string type = "shared";
  std::string storagePath;
  std::string boardPath;
  std::string expectationsPath;
  int sections = 8;
  int controllerPid = 0;
};

// The process's exit code: 0 when the whole tree reads clean.
int RunVerifier(const VerifyOptions& options);

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_VERIFIER_H
