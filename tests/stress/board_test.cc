// The heartbeat board as the controller sees it: operations in flight with
// their place and age, counters per slot, the stop flag, across two mappings.
#include "Board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "support/TempDirectory.h"

namespace stress {
namespace {

class BoardTest : public ::testing::Test {
 protected:
  settingstore::test::TempDirectory directory_;
  Board controller_ = Board::Create(directory_.File("heartbeat"));
  Board worker_ = Board::Attach(directory_.File("heartbeat"));
};

TEST_F(BoardTest, ShowsAnOperationOnlyOnceItIsOlderThanTheLimit) {
  worker_.Begin(3, 2, OpKind::kDeleteSection, "s4/sub1", "");
  const std::vector<InFlight> now = controller_.Running(0);
  ASSERT_EQ(now.size(), 1u);
  EXPECT_EQ(now[0].slot, 3u);
  EXPECT_EQ(now[0].thread, 2u);
  EXPECT_EQ(now[0].kind, OpKind::kDeleteSection);
  EXPECT_EQ(now[0].place, "s4/sub1");
  EXPECT_TRUE(controller_.Running(60).empty());
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  ASSERT_EQ(controller_.Running(0.02).size(), 1u);
  EXPECT_GE(controller_.Running(0.02)[0].seconds, 0.02);
  worker_.End(3, 2, OpKind::kDeleteSection);
  EXPECT_TRUE(controller_.Running(0).empty());
}

TEST_F(BoardTest, CutsLongNamesInsteadOfOverrunning) {
  const std::string longName(500, 'x');
  worker_.Begin(0, 0, OpKind::kWrite, longName, longName);
  const std::vector<InFlight> now = controller_.Running(0);
  ASSERT_EQ(now.size(), 1u);
  EXPECT_LT(now[0].place.size(), 100u);
  EXPECT_EQ(now[0].place, std::string(now[0].place.size(), 'x'));
  worker_.End(0, 0, OpKind::kWrite);
}

TEST_F(BoardTest, CountsPerSlotUntilTheSlotIsReset) {
  controller_.ResetSlot(1, 7);
  for (int i = 0; i < 3; ++i) {
    BeatScope beat(worker_, 1, i, OpKind::kRead, "s0", "k1");
  }
  worker_.CountExpected(1, 0, *ExpectedCodeIndex(-2));
  worker_.CountFailure(1, 2);
  { BeatScope other(worker_, 2, 0, OpKind::kWrite, "s0", "k1"); }
  Counters counters = controller_.SlotCounters(1);
  EXPECT_EQ(counters.operations[static_cast<size_t>(OpKind::kRead)], 3u);
  EXPECT_EQ(counters.TotalOperations(), 3u);
  EXPECT_EQ(counters.expected[*ExpectedCodeIndex(-2)], 1u);
  EXPECT_EQ(counters.failures, 1u);
  worker_.Begin(1, 0, OpKind::kWrite, "s0", "k1");
  ASSERT_EQ(controller_.Running(0).size(), 1u);
  EXPECT_EQ(controller_.Running(0)[0].worker, 7u);
  controller_.ResetSlot(1, 8);
  EXPECT_EQ(controller_.SlotCounters(1).TotalOperations(), 0u);
  EXPECT_TRUE(controller_.Running(0).empty());
}

TEST_F(BoardTest, StopRequestReachesEveryMapping) {
  EXPECT_FALSE(worker_.StopRequested());
  controller_.RequestStop();
  EXPECT_TRUE(worker_.StopRequested());
}

TEST(Board, RefusesAFileThatIsNoBoard) {
  settingstore::test::TempDirectory directory;
  EXPECT_THROW(Board::Attach(directory.File("missing")), std::runtime_error);
}

TEST(Counters, AddUpAndKnowTheirCodes) {
  Counters a;
  a.operations[1] = 2;
  a.failures = 1;
  Counters b;
  b.operations[1] = 3;
  b.expected[0] = 4;
  a += b;
  EXPECT_EQ(a.operations[1], 5u);
  EXPECT_EQ(a.expected[0], 4u);
  EXPECT_EQ(a.failures, 1u);
  EXPECT_FALSE(ExpectedCodeIndex(-13));
  EXPECT_EQ(kExpectedCodes[*ExpectedCodeIndex(-6)], -6);
}

}  // namespace
}  // namespace stress
