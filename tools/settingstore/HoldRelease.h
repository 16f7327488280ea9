// How `hold` learns that it may let the storage go: its standard input ends,
// or SIGINT, SIGTERM or SIGHUP arrives (on Windows: a console control event). Either way it then leaves as every
// command does, so the storage is released and, when it is the last process,
// saved; the default action of those signals would end it without either.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_HOLDRELEASE_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_HOLDRELEASE_H

namespace cli {

class HoldRelease {
 public:
  // Blocks the three signals in this thread and in every thread started
  // after it, so that none of them ends the process while it holds the
  // storage: they are taken by WaitForRelease instead. Make it before the
  // storage opens.
  HoldRelease();
  ~HoldRelease();
  HoldRelease(const HoldRelease&) = delete;
  HoldRelease& operator=(const HoldRelease&) = delete;

  // Reads and drops standard input until it ends or one of the signals
  // arrives (also one sent before this call).
  void WaitForRelease();

 private:
#ifdef _WIN32
  void* released_ = nullptr;  // an event set by Ctrl+C, Ctrl+Break or a console close
#else
  int signals_ = -1;  // the signalfd that delivers them
#endif
};

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_HOLDRELEASE_H
