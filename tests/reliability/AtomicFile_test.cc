// Replacing a file atomically, and clearing what killed writers left.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>

#include "Utils/PathUtils.h"
#include "platform/Platform.h"
#include "reliability/CrashSweep.h"

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
  const std::string alive = "1";  // init runs as long as the system does
  const std::string self = std::to_string(platform::CurrentProcessId());
  const std::vector<std::string> kept{
      "settings.tmp." + alive + ".0", "settings.tmp." + self + ".3", "settings.tmp.x.1",
      "settings.tmp." + dead + ".x",  "other.tmp." + dead + ".1",    "settings.backup.tmp." + dead + ".1"};
  for (const std::string& name : kept) Touch(directory.File(name));
  Touch(directory.File("settings.tmp." + dead + ".0"));
  Touch(directory.File("settings.tmp." + dead + ".17"));

  ASSERT_TRUE(platform::ReplaceFileAtomically(file.c_str(), "new", 3));
  std::vector<std::string> left = EntriesWith(directory.path(), ".tmp.");
  std::sort(left.begin(), left.end());
  std::vector<std::string> expected = kept;
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(left, expected);
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "new");
}

TEST(AtomicFileTest, ATemporaryReplacesItsFileOnlyWhenCommitted) {
  TempDirectory directory;
  const std::string file = directory.File("hive");
  ASSERT_TRUE(platform::ReplaceFileAtomically(file.c_str(), "old", 3));
  const std::string temporary = platform::WriteTemporaryFile(file.c_str(), "new", 3);
  ASSERT_FALSE(temporary.empty());
  EXPECT_EQ(temporary.rfind(file + ".tmp." + std::to_string(platform::CurrentProcessId()) + ".", 0), 0u);
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "old");
  ASSERT_TRUE(platform::CommitTemporaryFile(temporary, file.c_str()));
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "new");
  EXPECT_FALSE(platform::PathExists(temporary.c_str()));
  // A temporary that is gone commits nothing.
  EXPECT_FALSE(platform::CommitTemporaryFile(temporary, file.c_str()));
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "new");
}

TEST(AtomicFileTest, UnusableArgumentsAreRefused) {
  TempDirectory directory;
  const std::string file = directory.File("f");
  EXPECT_FALSE(platform::ReplaceFileAtomically(nullptr, "x", 1));
  EXPECT_FALSE(platform::ReplaceFileAtomically("", "x", 1));
  EXPECT_FALSE(platform::ReplaceFileAtomically(file.c_str(), nullptr, 1));
  EXPECT_TRUE(platform::WriteTemporaryFile(file.c_str(), nullptr, 2).empty());
  EXPECT_TRUE(platform::ReplaceFileAtomically(file.c_str(), nullptr, 0));
  EXPECT_EQ(storage::utils::ReadWholeFile(file), "");
  EXPECT_FALSE(platform::ReplaceFileAtomically(directory.File("missing/f").c_str(), "x", 1));
  EXPECT_TRUE(EntriesWith(directory.path(), ".tmp.").empty());
}

TEST(AtomicFileTest, ProcessLivenessTellsEndedProcessesApart) {
  EXPECT_TRUE(platform::ProcessAlive(platform::CurrentProcessId()));
  EXPECT_TRUE(platform::ProcessAlive(1));
  EXPECT_FALSE(platform::ProcessAlive(0));
  HelperProcess ended({"no-such-command"});
  ASSERT_NE(ended.Wait(), -1);
  EXPECT_FALSE(platform::ProcessAlive(static_cast<uint32_t>(ended.Pid())));
}

}  // namespace
}  // namespace settingstore::test
