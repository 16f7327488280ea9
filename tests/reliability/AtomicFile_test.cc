// Replacing a file atomically, and clearing what killed writers left.
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <array>
#include <csignal>
#include <fstream>
#include <set>

#include "base/PathUtils.h"
#include "platform/Platform.h"
#include "reliability/CrashSweep.h"
#ifndef _WIN32
#include "support/OtherUser.h"
#endif

namespace settingstore::test {
namespace {

namespace platform = storage::platform;

void Touch(const std::string& path) { std::ofstream(path) << "left over"; }

TEST(AtomicFileTest, OnlyTemporariesOfEndedWritersAreRemoved) {
  TempDirectory directory;
  const std::string file = directory.File("settings");
  // A process that ran and has ended: its id is free now.
  HelperProcess ended({"no-such-command"});
  ASSERT_NE(ended.Wait(), -1);
  const std::string dead = std::to_string(ended.Pid());
  ASSERT_FALSE(platform::ProcessAlive(static_cast<uint32_t>(ended.Pid())));
  EXPECT_FALSE(platform::ProcessAlive(0));
  const std::string self = std::to_string(platform::CurrentProcessId());
  // Those of this process stay, and on Linux those of init (process 1), which
  // runs as long as the system does.
  std::vector<std::string> kept{"settings.tmp." + self + ".3", "settings.tmp.x.1", "settings.tmp." + dead + ".x",
                                "other.tmp." + dead + ".1", "settings.backup.tmp." + dead + ".1"};
#ifndef _WIN32
  kept.push_back("settings.tmp.1.0");
#endif
  for (const std::string& name : kept) Touch(directory.File(name));
  Touch(directory.File("settings.tmp." + dead + ".0"));
  Touch(directory.File("settings.tmp." + dead + ".17"));

  ASSERT_TRUE(platform::ReplaceFileAtomically(file.c_str(), "new", 3));
  const std::vector<std::string> left = EntriesWith(directory.path(), ".tmp.");
  EXPECT_EQ(std::set<std::string>(left.begin(), left.end()), std::set<std::string>(kept.begin(), kept.end()));
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "new");
}

TEST(AtomicFileTest, ATemporaryReplacesItsFileOnlyWhenCommittedAndUnusableArgumentsChangeNothing) {
  TempDirectory directory;
  const std::string file = directory.File("hive");
  ASSERT_TRUE(platform::ReplaceFileAtomically(file.c_str(), "old", 3));
  const std::string temporary = platform::WriteTemporaryFile(file.c_str(), "new", 3);
  ASSERT_FALSE(temporary.empty());
  ASSERT_TRUE(platform::CommitTemporaryFile(temporary, file.c_str()));
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "new");
  // A temporary that is gone commits nothing, nor does one whose rename
  // fails, and it is removed; unusable arguments change nothing either.
  EXPECT_FALSE(platform::CommitTemporaryFile(temporary, file.c_str()));
  const std::string elsewhere = directory.File("missing/hive");
  EXPECT_FALSE(
      platform::CommitTemporaryFile(platform::WriteTemporaryFile(file.c_str(), "x", 1), elsewhere.c_str()));
  EXPECT_FALSE(platform::ReplaceFileAtomically(nullptr, "x", 1));
  EXPECT_FALSE(platform::ReplaceFileAtomically(file.c_str(), nullptr, 1));
  EXPECT_TRUE(platform::WriteTemporaryFile(file.c_str(), nullptr, 2).empty());
  EXPECT_FALSE(platform::ReplaceFileAtomically(elsewhere.c_str(), "x", 1));
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "new");
#ifndef _WIN32
  // A write that the file size limit cuts short fails and replaces nothing.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &limit), 0);
  const rlimit small{16, limit.rlim_max};
  std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const bool replaced = platform::ReplaceFileAtomically(file.c_str(), std::string(64, 'x').data(), 64);
  setrlimit(RLIMIT_FSIZE, &limit);
  std::signal(SIGXFSZ, SIG_DFL);
  EXPECT_FALSE(replaced);
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "new");
#endif
  EXPECT_TRUE(platform::ReplaceFileAtomically(file.c_str(), nullptr, 0));
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "");
  EXPECT_TRUE(EntriesWith(directory.path(), ".tmp.").empty());
}

#ifndef _WIN32
// Links, permission modes and file owners are POSIX's.

// New files never go through a name planted before them, and grant no more
// than the storage's main file and the file they replace.
TEST(AtomicFileTest, NewFilesAreExclusiveAndNoWiderThanTheirReference) {
  TempDirectory directory;
  const std::string victim = directory.File("victim");
  const std::string link = directory.File("link");
  Touch(victim);
  ASSERT_EQ(symlink(victim.c_str(), link.c_str()), 0);
  EXPECT_FALSE(platform::WriteNewFile(link.c_str(), "x", 1));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAlreadyExists);
  EXPECT_EQ(storage::utils::ReadWholeFile(victim), "left over");

  const std::string main = directory.File("main");
  Touch(main);
  // The main file's mode, the replaced file's (0: none yet), the replacement's.
  using Modes = std::array<mode_t, 3>;
  for (const auto& [mainMode, targetMode, expected] :
       {Modes{0600, 0, 0600}, {0640, 0644, 0640}, {0644, 0600, 0600}}) {
    ASSERT_EQ(chmod(main.c_str(), mainMode), 0);
    const std::string target =
        directory.File("target" + std::to_string(expected) + std::to_string(targetMode));
    if (targetMode != 0) {
      Touch(target);
      ASSERT_EQ(chmod(target.c_str(), targetMode), 0);
    }
    ASSERT_TRUE(platform::ReplaceFileAtomically(target.c_str(), "new", 3, main.c_str()));
    EXPECT_EQ(ModeOf(target), expected) << target;
    const std::string fresh = target + ".new";
    ASSERT_TRUE(platform::WriteNewFile(fresh.c_str(), "new", 3, main.c_str()));
    EXPECT_EQ(ModeOf(fresh), mainMode & 0777) << fresh;
    EXPECT_EQ(storage::utils::ReadWholeFile(fresh), "new");
  }
}

// Files another user owns are neither replaced, removed nor read.
TEST(AtomicFileTest, AnotherUsersFilesAreLeftAlone) {
  OtherUser other;
  SKIP_WITHOUT_OTHER_USER(other);
  TempDirectory directory;
  const std::string file = directory.File("foreign");
  Touch(file);
  ASSERT_EQ(chown(file.c_str(), other.Uid(), other.Gid()), 0);
  std::string content;
  EXPECT_FALSE(platform::ReadStorageFile(file.c_str(), &content));
  EXPECT_FALSE(platform::ReplaceFileAtomically(file.c_str(), "new", 3));
  const std::string temporary = platform::WriteTemporaryFile(file.c_str(), "new", 3);
  EXPECT_FALSE(platform::CommitTemporaryFile(temporary, file.c_str()));
  EXPECT_FALSE(platform::RemoveFile(file.c_str()));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAccessDenied);
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "left over");
}
#endif

}  // namespace
}  // namespace settingstore::test
