#include "xmlfile/FileBackup.h"

#include <utility>

#include "base/Exceptions.h"
#include "base/PathUtils.h"
#include "platform/Platform.h"
#include "xmlfile/IdleSave.h"
#include "xmlfile/Messages.h"

namespace storage {

namespace {
constexpr const char* kSource = messages::xmlfile::kFileBackupFile;
constexpr int kDamagedCopiesKept = 3;
}  // namespace

BackupController::BackupController(const char* file, const char* defaultFile) {
  STORAGE_ASSERT(file != nullptr, kSource, messages::xmlfile::kBackupControllerConstructor,
                 messages::xmlfile::kNoSettingsFile);
  STORAGE_ASSERT(defaultFile != nullptr, kSource, messages::xmlfile::kBackupControllerConstructor,
                 messages::xmlfile::kNoDefaultFile);
  file_ = file;
  defaultFile_ = defaultFile;
  backupFile_ = file_ + ".backup";
}

bool BackupController::Prepare() {
  if (step_ == kSettingsFile) return Read(file_);
  return Restore(step_ == kBackupFile ? backupFile_ : defaultFile_);
}

bool BackupController::Read(const std::string& source) {
  utils::FileRead read = utils::ReadWholeFileReporting(source);
  sourceFound_ = read.outcome == utils::FileRead::Outcome::kRead;
  readError_ = std::move(read.error);
  content_ = std::move(read.content);
  return read.outcome != utils::FileRead::Outcome::kUnreadable;
}

bool BackupController::Restore(const std::string& source) {
  if (!Read(source)) return false;
  utils::CreateDirectoryChain(file_, true);
  // Replaced atomically, like every save of the settings file: a crash
  // halfway leaves the damaged file or the restored one, never a torn mix.
  platform::ReplaceFileAtomically(file_.c_str(), content_.data(), content_.size(), source.c_str());
  return true;
}

const std::string& BackupController::Source() const {
  return step_ == kSettingsFile ? file_ : step_ == kBackupFile ? backupFile_ : defaultFile_;
}

std::string BackupController::SetAsideFailed() {
  if (step_ != kSettingsFile) platform::RemoveFile(file_.c_str());  // the restored copy
  if (!sourceFound_ || step_ == kDefaultFile) return {};
  const std::string& failed = Source();
  // An empty file holds nothing worth keeping.
  if (content_.empty()) {
    platform::RemoveFile(failed.c_str());
    return {};
  }
  const std::string damaged = failed + ".damaged";
  const auto copy = [&damaged](int age) { return age == 0 ? damaged : damaged + "." + std::to_string(age); };
  // Each rename replaces the name it moves to, so the oldest copy goes.
  for (int age = kDamagedCopiesKept - 1; age > 0; --age) {
    platform::RenameFile(copy(age - 1).c_str(), copy(age).c_str());
  }
  if (!platform::RenameFile(failed.c_str(), damaged.c_str())) {
    throw TechnicalException(messages::xmlfile::CannotMoveAside(failed, damaged));
  }
  return damaged;
}

void BackupController::NextStep() {
  STORAGE_ASSERT(HasNextStep(), kSource, messages::xmlfile::kBackupControllerNextStep, nullptr);
  step_ = static_cast<Step>(step_ + 1);
}

void BackupController::Confirm() const {
  if (step_ == kBackupFile) return;
  IdleSave::Start(backupFile_, content_, file_);
}

}  // namespace storage
