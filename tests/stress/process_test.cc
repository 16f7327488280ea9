// The controller's children: report lines through descriptor 3, kills that
// always reap, and bounded runs of other programs.
#include "Process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>

#include "support/TempDirectory.h"

namespace stress {
namespace {

std::vector<std::string> ReadAll(ChildProcess& child) {
  std::vector<std::string> lines;
  while (child.ReadReports(lines)) WaitForReports({child.ReportDescriptor()}, std::chrono::milliseconds(50));
  return lines;
}

TEST(ChildProcess, ReportsArriveByLineAndACutLineIsDropped) {
  ChildProcess child("/bin/sh", {"-c", "printf 'ack s1/o1-0-0 4\\nbye\\ncut off' >&3"});
  EXPECT_EQ(ReadAll(child), (std::vector<std::string>{"ack s1/o1-0-0 4", "bye"}));
  EXPECT_EQ(child.WaitFor(std::chrono::seconds(10)), 0);
}

TEST(ChildProcess, ExitStatusAndSignalAreTold) {
  ChildProcess exits("/bin/sh", {"-c", "exit 3"});
  EXPECT_EQ(exits.WaitFor(std::chrono::seconds(10)), 3);
  ChildProcess killed("/bin/sh", {"-c", "exec sleep 30"});
  EXPECT_FALSE(killed.TryReap());
  killed.Kill();
  EXPECT_EQ(killed.TryReap(), 128 + SIGKILL);
}

TEST(ChildProcess, NothingOutlivesItsObject) {
  int pid = 0;
  {
    ChildProcess child("/bin/sh", {"-c", "exec sleep 30"});
    pid = child.Pid();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), 0);
  }
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(RunToEnd, GivesTheStatusAndTheOutput) {
  settingstore::test::TempDirectory directory;
  const std::string output = directory.File("out.txt");
  EXPECT_EQ(
      RunToEnd("/bin/sh", {"-c", "echo said; echo warned >&2; exit 4"}, output, std::chrono::seconds(10)), 4);
  std::ifstream in(output);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(text, "said\nwarned\n");
}

TEST(RunToEnd, KillsAProgramThatOverrunsItsLimit) {
  settingstore::test::TempDirectory directory;
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(RunToEnd("/bin/sleep", {"30"}, directory.File("out.txt"), std::chrono::milliseconds(200)));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

TEST(TemporaryDirectory, IsNewEachTime) {
  const std::string first = MakeTemporaryDirectory("settingstore-stress-test");
  const std::string second = MakeTemporaryDirectory("settingstore-stress-test");
  EXPECT_NE(first, second);
  EXPECT_EQ(rmdir(first.c_str()), 0);
  EXPECT_EQ(rmdir(second.c_str()), 0);
}

}  // namespace
}  // namespace stress
