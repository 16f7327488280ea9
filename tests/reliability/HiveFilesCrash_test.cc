// A page manager's hive files are saved by the last process to leave. Killed
// at any step of that save, the next start must find the previous save or
// the new one, whole: the hash chain across the files must never refuse to
// load, and the files must never mix the two saves.
#include <gtest/gtest.h>

#include <atomic>
#include <set>

#include "platform/Platform.h"
#include "reliability/CrashSweep.h"
#include "reliability/HiveContent.h"

namespace settingstore::test {
namespace {

class HiveFilesCrashTest : public ::testing::Test {
 protected:
  HiveFilesCrashTest() {
    static std::atomic<int> counter{0};
    name_ = "Local\\reliability_hive_" + std::to_string(storage::platform::CurrentProcessId()) + "_" +
            std::to_string(counter++) + "_";
  }

  std::vector<std::string> Save(int generation) const {
    return {"hive", name_, FilePrefix(), std::to_string(generation)};
  }
  std::string FilePrefix() const { return directory_.File(".storage"); }

  // The generation a fresh start finds; its own save runs at the end.
  int Load(std::string& refusal) const {
    try {
      storage::PageManager manager;
      StartHives(manager, name_, FilePrefix());
      return ReadHiveGeneration(manager);
    } catch (const storage::TechnicalException& e) {
      refusal = e.what();
    } catch (const storage::AssertException& e) {
      refusal = e.What();
    }
    return kHiveMixed;
  }

  TempDirectory directory_;
  std::string name_;
};

TEST_F(HiveFilesCrashTest, EveryKillDuringTheSaveLeavesOneWholeGeneration) {
  ASSERT_EQ(RunHelper(Save(1)), kHelperDone);
  ASSERT_EQ(EntriesWith(directory_.path(), ".dm2").size(), 2u);
  const DirectorySnapshot start(directory_.path());

  std::set<int> found;
  const int points = SweepCrashPoints(start, Save(2), [&](int step) {
    std::string refusal;
    const int generation = Load(refusal);
    EXPECT_TRUE(generation == 1 || generation == 2)
        << "after a kill at step " << step << ": " << (refusal.empty() ? "mixed content" : refusal);
    found.insert(generation);
    // The start above cleared what the killed save left.
    EXPECT_TRUE(EntriesWith(directory_.path(), ".tmp.").empty()) << "step " << step;
    EXPECT_TRUE(EntriesWith(directory_.path(), ".hivesave.").empty()) << "step " << step;
  });
  // Two temporaries (created, written, flushed) come before the commit point.
  EXPECT_GE(points, 6);
  EXPECT_TRUE(found.count(1) == 1 && found.count(2) == 1) << "kills before and after the commit point";
  RecordProperty("crash_points", points);
}

// A kill after the commit point leaves a half-renamed set; the start that
// completes it may itself be killed at any of its steps.
TEST_F(HiveFilesCrashTest, CompletingAnInterruptedSaveSurvivesKillsToo) {
  ASSERT_EQ(RunHelper(Save(1)), kHelperDone);
  const DirectorySnapshot clean(directory_.path());
  // The first kill after the commit point: a manifest and unrenamed
  // temporaries are left.
  int committed = 0;
  for (int step = 1; step <= kMostSteps && committed == 0; ++step) {
    clean.Restore();
    const int exit = RunHelper({"--crash-after", std::to_string(step), "hive", name_, FilePrefix(), "2"});
    if (exit != kKilledExit) break;
    bool manifest = false;
    for (const std::string& name : EntriesWith(directory_.path(), ".hivesave."))
      manifest = manifest || name.find(".tmp.") == std::string::npos;
    if (manifest && !EntriesWith(directory_.path(), ".dm2.tmp.").empty()) committed = step;
  }
  ASSERT_GT(committed, 0) << "no kill left a committed, half-renamed set";
  const DirectorySnapshot halfRenamed(directory_.path());

  const int points = SweepCrashPoints(halfRenamed, Save(3), [&](int step) {
    std::string refusal;
    const int generation = Load(refusal);
    // The interrupted save was committed: generation 1 is no longer an answer.
    EXPECT_TRUE(generation == 2 || generation == 3)
        << "after a kill at step " << step << ": " << (refusal.empty() ? "mixed content" : refusal);
  });
  EXPECT_GE(points, 1);
  RecordProperty("crash_points", points);
}

}  // namespace
}  // namespace settingstore::test
