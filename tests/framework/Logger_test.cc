#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/Logger.h"

namespace storage::logger {
namespace {

std::vector<std::pair<Level, std::string>> g_seen;
void Collect(Level level, const char* message) { g_seen.emplace_back(level, message); }

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_seen.clear();
    SetSink(&Collect);
  }
  void TearDown() override {
    SetSink(nullptr);
    SetLevel(LEVEL_ERROR);
  }
};

TEST_F(LoggerTest, ByDefaultOnlyErrorsAreWritten) {
  error("Unable to create shared memory object. GetLastError: %u", 8u);
  info("ignored %d", 1);
  debug("ignored too");
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].first, LEVEL_ERROR);
  EXPECT_EQ(g_seen[0].second, "Unable to create shared memory object. GetLastError: 8");
}

TEST_F(LoggerTest, RaisingTheLevelLetsMoreThrough) {
  SetLevel(LEVEL_DEBUG);
  info("a %s", "b");
  debug("c");
  ASSERT_EQ(g_seen.size(), 2u);
  EXPECT_EQ(g_seen[0], std::make_pair(LEVEL_INFO, std::string("a b")));
  EXPECT_EQ(g_seen[1], std::make_pair(LEVEL_DEBUG, std::string("c")));
}

TEST_F(LoggerTest, LongMessagesAreCutNotOverrun) {
  std::string longText(5000, 'x');
  error("%s", longText.c_str());
  ASSERT_EQ(g_seen.size(), 1u);
  EXPECT_EQ(g_seen[0].second.size(), 1023u);
}

}  // namespace
}  // namespace storage::logger
