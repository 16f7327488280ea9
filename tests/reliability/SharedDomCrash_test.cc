// A shared DOM storage is saved by the last process to leave: node hives and
// string hives, several files that refer to each other. Killed at any step of
// that save, the next start must load the previous content or the new one,
// never refuse and never mix the node files of one save with the string
// files of the other.
#include <gtest/gtest.h>

#include <set>

#include "reliability/CrashSweep.h"
#include "reliability/StorageContent.h"

namespace settingstore::test {
namespace {

// What a start of the storage in this process finds; the refusal's text
// when it does not come up.
int LoadSharedDom(const std::string& directory, bool longText, std::string& refusal) {
  PathInitializer init(directory);
  int generation = kMixedContent;
  try {
    storage::NoThrowStorageFactory* factory = InitializeStorage(storage::STORAGE_SHARED_DOM, &init);
    {
      storage::Ref<storage::IStorageSection> root(factory->GetRoot());
      generation = ReadGeneration(root.get(), longText);
    }
    delete factory;
    DeinitializeStorage(storage::STORAGE_SHARED_DOM);
  } catch (const storage::TechnicalException& e) {
    refusal = e.what();
  }
  return generation;
}

// The number of crash points tried.
int SweepSharedDom(bool longText) {
  TempDirectory directory;
  const std::string path = directory.path().string();
  std::vector<std::string> save{"dom", path, "1"};
  if (longText) save.push_back("long");
  EXPECT_EQ(RunHelper(save), kHelperDone);
  std::string refusal;
  EXPECT_EQ(LoadSharedDom(path, longText, refusal), 1) << refusal;
  EXPECT_EQ(RunHelper(save), kHelperDone);
  const DirectorySnapshot start(directory.path());

  save[2] = "2";
  std::set<int> found;
  const int points = SweepCrashPoints(start, save, [&](int step) {
    std::string refusal;
    const int generation = LoadSharedDom(path, longText, refusal);
    EXPECT_TRUE(generation == 1 || generation == 2)
        << "after a kill at step " << step << ": "
        << (refusal.empty() ? "content " + std::to_string(generation) : refusal);
    found.insert(generation);
  });
  // A node file and a string file, each created, written and flushed.
  EXPECT_GE(points, 6);
  EXPECT_TRUE(found.count(1) == 1 && found.count(2) == 1) << "kills before and after the commit point";
  return points;
}

TEST(SharedDomCrashTest, EveryKillDuringTheLastSaveLeavesOneWholeGeneration) {
  RecordProperty("crash_points", SweepSharedDom(false));
}

// Long texts live in files of their own, which a session that frees them
// must leave to the previous save until its own save is in place.
TEST(SharedDomCrashTest, LongTextsSurviveAKilledSession) {
  RecordProperty("crash_points", SweepSharedDom(true));
}

}  // namespace
}  // namespace settingstore::test
