// The acknowledged-write rules: exact for a worker that left in order, at
// least the acknowledged write for one that was killed or whose write failed.
#include "Ledger.h"

#include <gtest/gtest.h>

namespace stress {
namespace {

Stamp Found(uint32_t writer, uint64_t sequence) { return Stamp{"s1/o4-0-1", writer, 0, sequence}; }

Expectation Only(const Ledger& ledger) {
  const std::vector<Expectation> expectations = ledger.Expectations();
  EXPECT_EQ(expectations.size(), 1u);
  return expectations.empty() ? Expectation{} : expectations.front();
}

TEST(Ledger, KeepsTheLastAcknowledgedWritePerKey) {
  Ledger ledger;
  ledger.Acknowledge(4, "s1/o4-0-1", 1);
  ledger.Acknowledge(4, "s1/o4-0-1", 2);
  ledger.Acknowledge(4, "s2/o4-0-2", 1);
  EXPECT_EQ(ledger.AcknowledgedWrites(), 3u);
  const std::vector<Expectation> expectations = ledger.Expectations();
  ASSERT_EQ(expectations.size(), 2u);
  EXPECT_EQ(expectations[0].location, "s1/o4-0-1");
  EXPECT_EQ(expectations[0].sequence, 2u);
  EXPECT_TRUE(expectations[0].exact);
}

TEST(Ledger, WorkerThatLeftInOrderMustReadBackExactly) {
  Ledger ledger;
  ledger.Acknowledge(4, "s1/o4-0-1", 5);
  const Expectation expectation = Only(ledger);
  EXPECT_FALSE(Unmet(expectation, Found(4, 5)));
  EXPECT_TRUE(Unmet(expectation, Found(4, 4)));   // lost
  EXPECT_TRUE(Unmet(expectation, Found(4, 6)));   // a write nobody acknowledged
  EXPECT_TRUE(Unmet(expectation, Found(5, 5)));   // somebody else's value
  EXPECT_TRUE(Unmet(expectation, std::nullopt));  // missing or failing its check
}

TEST(Ledger, KilledWorkerMayHaveWrittenOnceMore) {
  Ledger ledger;
  ledger.Acknowledge(4, "s1/o4-0-1", 5);
  ledger.MarkInterrupted(4);
  const Expectation expectation = Only(ledger);
  EXPECT_FALSE(expectation.exact);
  EXPECT_FALSE(Unmet(expectation, Found(4, 5)));
  EXPECT_FALSE(Unmet(expectation, Found(4, 6)));
  const std::optional<std::string> lost = Unmet(expectation, Found(4, 4));
  ASSERT_TRUE(lost);
  EXPECT_NE(lost->find("acknowledged write lost"), std::string::npos);
}

TEST(Ledger, AFailedWriteLeavesItsKeyUncertain) {
  Ledger ledger;
  ledger.Acknowledge(4, "s1/o4-0-1", 5);
  ledger.MarkUncertain("s1/o4-0-1");
  EXPECT_FALSE(Unmet(Only(ledger), Found(4, 6)));
  EXPECT_TRUE(Unmet(Only(ledger), Found(4, 3)));
}

TEST(Ledger, ExpectationsSurviveTheirFile) {
  for (bool exact : {true, false}) {
    const Expectation written{"s7/sub2/o1-2-3", 9, 123456789012ull, exact};
    const std::optional<Expectation> read = ParseExpectation(FormatExpectation(written));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->location, written.location);
    EXPECT_EQ(read->writer, written.writer);
    EXPECT_EQ(read->sequence, written.sequence);
    EXPECT_EQ(read->exact, exact);
  }
  EXPECT_FALSE(ParseExpectation("s1/k1 4 five exact"));
  EXPECT_FALSE(ParseExpectation("s1/k1 4 5 maybe"));
  EXPECT_FALSE(ParseExpectation(""));
}

}  // namespace
}  // namespace stress
