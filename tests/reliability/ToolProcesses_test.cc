// The settingstore tool's processes against each other and against signals:
// every write a process was told succeeded is still there when all have left.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "tools/CliRunner.h"

namespace settingstore::test {
namespace {

TEST(ToolProcessesTest, ConcurrentWritersToOneXmlStorageKeepEveryWrite) {
  constexpr int kWriters = 3, kWrites = 12;
  const CliRunner runner;
  const Words storage = XmlStorage(runner);
  std::vector<std::thread> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([&storage, writer] {
      const CliRunner own;  // each writer's output files apart
      for (int write = 0; write < kWrites; ++write)
        own.Ok(storage + Words{"set", "W" + std::to_string(writer), "K" + std::to_string(write), "v"});
    });
  }
  for (std::thread& writer : writers) writer.join();
  const std::string listing = runner.Ok(storage + Words{"ls", "-r"});
  for (int writer = 0; writer < kWriters; ++writer)
    for (int write = 0; write < kWrites; ++write) {
      const std::string key = "W" + std::to_string(writer) + "/K" + std::to_string(write) + "\t";
      EXPECT_NE(listing.find(key), std::string::npos) << key << " was acknowledged and lost";
    }
}

// Asked to stop by a signal, hold leaves as at the end of its input: as the
// last process, it saves what another process wrote meanwhile.
TEST(ToolProcessesTest, HoldLeavesCleanlyOnASignal) {
#ifdef _WIN32
  GTEST_SKIP() << "POSIX signals; Windows has no way to send them to another process";
#else
  const CliRunner runner;
  runner.Ok(SharedStorage(runner) + Words{"set", "While", "Held", "no"});
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    const std::string value = std::to_string(signal);
    HeldStorage held(runner, SharedStorage(runner));
    ASSERT_TRUE(held.Holding());
    runner.Ok(SharedStorage(runner) + Words{"set", "While", "Held", value});
    EXPECT_EQ(held.Stop(signal), 0) << signal;  // it has ended: what it saved is there
    EXPECT_EQ(runner.Ok(SharedStorage(runner) + Words{"get", "While", "Held"}), value + "\n") << signal;
  }
#endif
}

TEST(ToolProcessesTest, ARunEndsOnlyAfterItsBackupCopy) {
  const CliRunner runner;
  const Words storage = XmlStorage(runner);
  // Large enough that writing the copy outlasts the rest of the run.
  runner.WriteFile("blob", std::string(3 << 20, 'x'));
  runner.Ok(storage + Words{"set", "--type", "binary", "--from-file", runner.File("blob"), "Big", "Blob"});
  runner.Ok(storage + Words{"set", "S", "K", "v"});
  EXPECT_EQ(runner.Ok(storage + Words{"get", "S", "K"}), "v\n");
  const std::string backup = runner.ReadFile("xml/.storage.backup");
  EXPECT_TRUE(backup == runner.ReadFile("xml/.storage")) << "a backup of " << backup.size() << " bytes";
}

}  // namespace
}  // namespace settingstore::test
