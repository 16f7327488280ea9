#include "Utils/FileBackup.h"

#include "Utils/PathUtils.h"
#include "XMLStorage/IdleSave.h"
#include "framework/Exceptions.h"
#include "platform/Platform.h"

namespace storage {

namespace {
constexpr const char* kSource = "Utils\\FileBackup";
}  // namespace

BackupController::BackupController(const char* file, const char* defaultFile) {
  STORAGE_ASSERT(file != nullptr, kSource, "storage::BackupController::BackupController", "no settings file");
  STORAGE_ASSERT(defaultFile != nullptr, kSource, "storage::BackupController::BackupController",
                 "no default file");
  file_ = file;
  defaultFile_ = defaultFile;
  backupFile_ = file_ + ".backup";
}

void BackupController::Prepare() {
  switch (step_) {
    case kSettingsFile:
      content_ = utils::ReadWholeFile(file_);
      break;
    case kBackupFile:
      Restore(backupFile_);
      break;
    case kDefaultFile:
      Restore(defaultFile_);
      break;
  }
}

void BackupController::Restore(const std::string& source) {
  content_ = utils::ReadWholeFile(source);
  utils::CreateDirectoryChain(file_, true);
  // Replaced atomically, like every save of the settings file: a crash
  // halfway leaves the damaged file or the restored one, never a torn mix.
  platform::ReplaceFileAtomically(file_.c_str(), content_.data(), content_.size(), source.c_str());
}

void BackupController::RemoveFailed() {
  platform::RemoveFile(file_.c_str());
  if (step_ != kSettingsFile) platform::RemoveFile(backupFile_.c_str());
}

void BackupController::NextStep() {
  STORAGE_ASSERT(HasNextStep(), kSource, "storage::BackupController::NextStep", nullptr);
  step_ = static_cast<Step>(step_ + 1);
}

void BackupController::Confirm() const {
  if (step_ == kBackupFile) return;
  CIdleSave::Start(backupFile_, content_, file_);
}

}  // namespace storage
