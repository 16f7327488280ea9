// The XML settings file and its backup: killed at any step of a save, of the
// backup copy, or of the restore from the backup, the next load finds the
// previous content or the new one, whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "reliability/CrashSweep.h"
#include "reliability/StorageContent.h"

namespace settingstore::test {
namespace {

class XmlFilesCrashTest : public ::testing::Test {
 protected:
  std::vector<std::string> Run(int generation, const char* mode) const {
    return {"xml", directory_.path().string(), std::to_string(generation), mode};
  }
  std::filesystem::path File(const char* name) const { return directory_.path() / name; }

  // What a fresh load finds.
  int Load() const {
    PathInitializer init(directory_.path().string());
    storage::NoThrowStorageFactory* factory = InitializeStorage(storage::STORAGE_XML, &init);
    int generation;
    {
      storage::Ref<storage::IStorageSection> root(factory->GetRoot());
      generation = ReadGeneration(root.get(), true);
    }
    delete factory;
    return generation;
  }

  // The generations a sweep of this save leaves, checked to be old or new.
  std::set<int> Sweep(const std::vector<std::string>& save, std::set<int> allowed, int& points) {
    const DirectorySnapshot start(directory_.path());
    std::set<int> found;
    points = SweepCrashPoints(start, save, [&](int step) {
      const int generation = Load();
      EXPECT_EQ(allowed.count(generation), 1u)
          << "after a kill at step " << step << " the load found " << generation;
      found.insert(generation);
    });
    return found;
  }

  TempDirectory directory_;
};

TEST_F(XmlFilesCrashTest, AKilledSaveLeavesTheOldOrTheNewSettingsFile) {
  for (const char* mode : {"save", "dispose"}) {
    SCOPED_TRACE(mode);
    ASSERT_EQ(RunHelper(Run(1, "save")), kHelperDone);
    ASSERT_EQ(Load(), 1);
    int points = 0;
    const std::set<int> found = Sweep(Run(2, mode), {1, 2}, points);
    // Created, written, flushed, renamed, directory flushed.
    EXPECT_GE(points, 4);
    EXPECT_EQ(found.count(1), 1u);
    RecordProperty(std::string("crash_points_") + mode, points);
  }
}

TEST_F(XmlFilesCrashTest, AKilledBackupCopyLeavesTheOldOrTheNewBackup) {
  ASSERT_EQ(RunHelper(Run(1, "save")), kHelperDone);
  ASSERT_EQ(RunHelper(Run(0, "confirm")), kHelperDone);
  ASSERT_EQ(RunHelper(Run(2, "save")), kHelperDone);
  // The settings file holds generation 2, its backup generation 1; the
  // confirmed load copies generation 2 over the backup.
  const DirectorySnapshot start(directory_.path());
  std::set<int> found;
  const int points = SweepCrashPoints(start, Run(0, "confirm"), [&](int step) {
    std::filesystem::remove(File(".storage"));
    const int generation = Load();
    EXPECT_TRUE(generation == 1 || generation == 2)
        << "after a kill at step " << step << " the backup held " << generation;
    found.insert(generation);
  });
  EXPECT_GE(points, 4);
  EXPECT_EQ(found.count(1), 1u);
  RecordProperty("crash_points", points);
}

TEST_F(XmlFilesCrashTest, AKilledRestoreFromTheBackupLosesNothing) {
  ASSERT_EQ(RunHelper(Run(1, "save")), kHelperDone);
  ASSERT_EQ(RunHelper(Run(0, "confirm")), kHelperDone);
  std::ofstream(File(".storage"), std::ios::trunc) << "<storage><section name=";
  int points = 0;
  Sweep(Run(0, "load"), {1}, points);
  // The damaged file is removed and the backup's bytes are written in its place.
  EXPECT_GE(points, 4);
  RecordProperty("crash_points", points);
}

TEST_F(XmlFilesCrashTest, TemporariesOfAKilledSaveAreClearedByTheNextSave) {
  ASSERT_EQ(RunHelper(Run(1, "save")), kHelperDone);
  // Killed once the temporary is written and flushed, before its rename.
  ASSERT_EQ(RunHelper({"--crash-after", "3", "xml", directory_.path().string(), "2", "save"}), kKilledExit);
  ASSERT_EQ(EntriesWith(directory_.path(), ".storage.tmp.").size(), 1u);
  EXPECT_EQ(Load(), 1);
  ASSERT_EQ(RunHelper(Run(3, "save")), kHelperDone);
  EXPECT_TRUE(EntriesWith(directory_.path(), ".tmp.").empty());
  EXPECT_EQ(Load(), 3);
}

}  // namespace
}  // namespace settingstore::test
