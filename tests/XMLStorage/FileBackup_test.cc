// The fall-back steps of one settings file and the background backup copy
// (the rotation itself is tested through the controller).
#include "xmlfile/FileBackup.h"

#include <gtest/gtest.h>

#include "XmlFilesTestSupport.h"
#include "xmlfile/IdleSave.h"

namespace {

using storage::BackupController;
using storage::IdleSave;
using namespace xmlfiles;

class FileBackupTest : public XmlFilesTest {
 protected:
  BackupController Controller() const {
    return BackupController(settingsFile().c_str(), defaultFile().c_str());
  }
};

TEST_F(FileBackupTest, NullPathsAreRefused) {
  try {
    BackupController(nullptr, "default");
    FAIL() << "a null settings file was accepted";
  } catch (const storage::AssertException& e) {
    EXPECT_EQ(e.File(), "Utils\\FileBackup");
  }
  EXPECT_THROW(BackupController("file", nullptr), storage::AssertException);
}

TEST_F(FileBackupTest, StepsRunFromSettingsToDefaultAndNoFurther) {
  BackupController backup = Controller();
  EXPECT_EQ(backup.backupFile(), settingsFile().string() + ".backup");
  EXPECT_EQ(backup.step(), BackupController::kSettingsFile);
  backup.NextStep();
  EXPECT_EQ(backup.step(), BackupController::kBackupFile);
  EXPECT_TRUE(backup.HasNextStep());
  backup.NextStep();
  EXPECT_EQ(backup.step(), BackupController::kDefaultFile);
  EXPECT_FALSE(backup.HasNextStep());
  try {
    backup.NextStep();
    FAIL() << "stepped past the default file";
  } catch (const storage::AssertException& e) {
    EXPECT_EQ(e.Function(), "storage::BackupController::NextStep");
  }
  EXPECT_EQ(backup.step(), BackupController::kDefaultFile);
}

TEST_F(FileBackupTest, RestoringCreatesTheSettingsDirectoryAndAMissingSourceGivesAnEmptyFile) {
  fs::path nested = dir_ / "a" / "b" / ".storage";
  BackupController backup(nested.c_str(), defaultFile().c_str());
  backup.NextStep();
  backup.Prepare();
  EXPECT_TRUE(Exists(nested));
  EXPECT_EQ(ReadFile(nested), "");
  EXPECT_EQ(backup.content(), "");
}

TEST_F(FileBackupTest, ALoadFromTheBackupStartsNoCopy) {
  WriteFile(backupFile(), "backup");
  BackupController backup = Controller();
  backup.NextStep();
  backup.Prepare();
  WriteFile(backupFile(), "changed meanwhile");
  backup.Confirm();
  IdleSave::WaitUntilIdle();
  EXPECT_EQ(ReadFile(backupFile()), "changed meanwhile");
}

TEST_F(FileBackupTest, IdleSaveWritesItsTextAndIgnoresAMissingDirectory) {
  fs::path target = dir_ / "copy";
  WriteFile(target, "previous content");
  IdleSave::Start(target.string(), "");
  IdleSave::Start((dir_ / "missing" / "copy").string(), "lost");
  IdleSave::WaitUntilIdle();
  EXPECT_TRUE(Exists(target));
  EXPECT_EQ(ReadFile(target), "");
  EXPECT_FALSE(Exists(dir_ / "missing"));

  std::string binary("a\0b\xff", 4);
  IdleSave::Start(target.string(), binary);
  IdleSave::WaitUntilIdle();
  EXPECT_EQ(ReadFile(target), binary);
}

}  // namespace
