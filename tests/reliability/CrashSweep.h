// Runs one save in a helper process killed after its first, second, third...
// file step, until a run completes without being killed, and hands each
// killed run's leftovers to a check. The directory is reset to the same
// starting files before each run. And what tests see of the files saves
// leave: which there are, and their permission bits.
#ifndef SETTINGSTORE_TESTS_RELIABILITY_CRASHSWEEP_H
#define SETTINGSTORE_TESTS_RELIABILITY_CRASHSWEEP_H

#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {

inline constexpr int kKilledExit = 128 + 9;  // SIGKILL
inline constexpr int kHelperDone = 0;
// Far above the steps of any save here; a sweep that reaches it is a fault.
inline constexpr int kMostSteps = 200;
inline constexpr auto kHelperLimit = std::chrono::seconds(30);

// The files of a directory, kept aside and put back on demand.
class DirectorySnapshot {
 public:
  explicit DirectorySnapshot(const std::filesystem::path& directory) : directory_(directory) {
    CopyEntries(directory_, kept_.path());
  }
  void Restore() const {
    for (const auto& entry : std::filesystem::directory_iterator(directory_))
      std::filesystem::remove_all(entry);
    CopyEntries(kept_.path(), directory_);
  }

 private:
  // Entry by entry: mingw-w64's copy of a directory onto an existing one fails.
  static void CopyEntries(const std::filesystem::path& from, const std::filesystem::path& to) {
    for (const auto& entry : std::filesystem::directory_iterator(from))
      std::filesystem::copy(entry.path(), to / entry.path().filename(), std::filesystem::copy_options::recursive);
  }

  std::filesystem::path directory_;
  TempDirectory kept_;
};

// The number of crash points tried: the killed runs.
inline int SweepCrashPoints(const DirectorySnapshot& start, const std::vector<std::string>& save,
                            const std::function<void(int step)>& checkAfterKill) {
  for (int step = 1; step <= kMostSteps; ++step) {
    start.Restore();
    std::vector<std::string> arguments{"--crash-after", std::to_string(step)};
    arguments.insert(arguments.end(), save.begin(), save.end());
    const int exit = HelperProcess(arguments).Wait(kHelperLimit);
    if (exit == kHelperDone) return step - 1;
    EXPECT_EQ(exit, kKilledExit) << "step " << step;
    if (exit != kKilledExit) return step - 1;
    checkAfterKill(step);
    if (::testing::Test::HasFatalFailure()) return step;
  }
  ADD_FAILURE() << "the save never completed";
  return kMostSteps;
}

// Directory entries whose name contains the text.
inline std::vector<std::string> EntriesWith(const std::filesystem::path& directory, const std::string& text) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator(directory)) {
    const std::string name = entry.path().filename().string();
    if (name.find(text) != std::string::npos) found.push_back(name);
  }
  return found;
}

#ifndef _WIN32
// A file's permission bits, 0 when it is not there.
inline mode_t ModeOf(const std::string& path) {
  struct stat status {};
  return lstat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}
#endif

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_RELIABILITY_CRASHSWEEP_H
