// Writes one file on a short-lived thread of its own: the backup copy that
// follows a confirmed load, so that the host's thread does not wait for the
// disk.
#ifndef SETTINGSTORE_XMLFILE_IDLESAVE_H
#define SETTINGSTORE_XMLFILE_IDLESAVE_H

#include <cstdint>
#include <string>

#include "base/Thread.h"

namespace storage {

// How long ending a storage waits for a backup copy still being written.
constexpr uint32_t kIdleSaveWaitMs = 5000;

class IdleSave : public threads::Thread {
 public:
  // Starts a low-priority thread that replaces the file at path with text and
  // then deletes its own object. Failures (a missing directory, a thread that
  // cannot start) are dropped: a backup is a convenience, never a reason to
  // fail the host. The copy grants no more than modeReference (the settings
  // file) does.
  static void Start(std::string path, std::string text, std::string modeReference = {});

  // Returns once every save started so far has finished, so that nothing
  // still writes when a test inspects the files or the process winds down.
  static void WaitUntilIdle();
  // The same, for at most this long: false when a save still runs then.
  static bool WaitUntilIdle(uint32_t milliseconds);

 protected:
  int Run() override;

 private:
  IdleSave(std::string path, std::string text, std::string modeReference);
  ~IdleSave() override = default;

  const std::string path_;
  const std::string text_;
  const std::string modeReference_;
};

}  // namespace storage

#endif  // SETTINGSTORE_XMLFILE_IDLESAVE_H
