// What the tool reports when a command cannot be done, and the exit status
// that tells a script why.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_CLIERROR_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_CLIERROR_H

#include <stdexcept>
#include <string>

namespace cli {

enum ExitStatus : int { kSuccess = 0, kNotFound = 1, kUsage = 2, kFailure = 3 };

class CliError : public std::runtime_error {
 public:
  CliError(ExitStatus status, const std::string& message) : std::runtime_error(message), status_(status) {}
  ExitStatus status() const { return status_; }

 private:
  ExitStatus status_;
};

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_CLIERROR_H
