// The library's log lines on the tool's standard error, in the tool's own
// form: "settingstore: MESSAGE", whichever backend wrote them.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_LOGLINES_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_LOGLINES_H

#include <cstddef>
#include <string>

namespace cli {

// Routes the library's log to standard error; call once, at the start.
void WriteLogLinesToStandardError();

// How many error lines the library has logged so far, kept ones included.
size_t LoggedErrorCount();

// While one lives, the library's error lines are kept instead of written, for
// a step whose failure the library only logs to report it as its own error.
// Lines of other levels are still written, and so are the kept ones at its
// end unless the step took them.
class KeptLogErrors {
 public:
  KeptLogErrors();
  ~KeptLogErrors();
  KeptLogErrors(const KeptLogErrors&) = delete;
  KeptLogErrors& operator=(const KeptLogErrors&) = delete;

  // The first error logged since this began (empty when none was); the
  // others are dropped with it.
  std::string take();
};

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_LOGLINES_H
