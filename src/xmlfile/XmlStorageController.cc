#include "xmlfile/XmlStorageController.h"

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "base/Exceptions.h"
#include "base/Logger.h"
#include "base/PathUtils.h"
#include "base/ProcessValues.h"
#include "platform/Platform.h"
#include "xml/XmlParser.h"
#include "xml/XmlSaver.h"
#include "xmlfile/IdleSave.h"
#include "xmlfile/Messages.h"

namespace storage {

namespace {

// A null location stands for the empty directory.
std::string Location(const char* directory) { return directory ? directory : ""; }

std::string SettingsFilePath(IStorageInitializer* init) {
  return utils::Join(Location(init->GetPath()), XmlSettingsFileName());
}

std::string DefaultFilePath(IStorageInitializer* init) {
  return utils::Join(Location(init->GetDefaultPath()), XmlSettingsFileName()) + ".default";
}

}  // namespace

std::shared_ptr<XmlDocument> ParseXmlDocument(const char* text, size_t length) {
  XmlParser parser;
  parser.TrimWhitespaces(true);
  parser.LoadFromString(text, length);
  return std::make_shared<XmlDocument>(std::unique_ptr<XmlNode>(parser.DetachRoot()));
}

XmlStorageController::XmlStorageController(IStorageInitializer* init)
    : settingsFile_(SettingsFilePath(init)), backup_(settingsFile_.c_str(), DefaultFilePath(init).c_str()) {
  // What writers that have ended left half done is of no use to anyone.
  platform::RemoveStaleTemporaries(settingsFile_.c_str());
  platform::RemoveStaleTemporaries(backup_.BackupFile().c_str());
  init->OnLoadBegin();
  bool damageFound = false;
  for (;;) {
    PrepareStep(init);
    std::string failure;
    if (TryLoad(init, failure)) {
      if (damageFound) logger::Error(messages::xmlfile::kLoadedInstead, backup_.Source().c_str());
      init->OnLoadSucceeded();
      return;
    }
    init->OnLoadFailed();
    // A missing or empty file is no damage: there was nothing to lose.
    const bool damaged = backup_.SourceFound() && !backup_.Content().empty();
    const std::string movedTo = backup_.SetAsideFailed();
    // The default file is never written here, so it stays as it is; its
    // damage loses nothing, and a host that cannot mend it must still run.
    if (damaged && movedTo.empty()) {
      logger::Info(messages::xmlfile::kIsDamaged, backup_.Source().c_str(), failure.c_str());
    } else if (damaged) {
      damageFound = true;
      logger::Error(messages::xmlfile::kIsDamagedMoved, backup_.Source().c_str(), failure.c_str(),
                    movedTo.c_str());
    }
    if (!backup_.HasNextStep()) break;
    backup_.NextStep();
  }
  if (damageFound) logger::Error(messages::xmlfile::kLoadedEmptyInstead, settingsFile_.c_str());
  LoadEmpty(init);
}

XmlStorageController::~XmlStorageController() {
  // A backup still being written would be cut off if the process ended now.
  if (!IdleSave::WaitUntilIdle(kIdleSaveWaitMs)) {
    logger::Error(messages::xmlfile::kBackupStillWritten, settingsFile_.c_str(), kIdleSaveWaitMs);
  }
}

void XmlStorageController::PrepareStep(IStorageInitializer* init) {
  while (!backup_.Prepare()) {
    // A file that cannot be read may be perfectly sound: it is left alone.
    const std::string reason = messages::xmlfile::CannotRead(backup_.Source(), backup_.ReadError());
    init->OnLoadFailed();
    if (!init->RetryLoad()) throw TechnicalException(reason);
    logger::Error(messages::xmlfile::kTryingAgain, reason.c_str());
    init->OnLoadBegin();
  }
}

bool XmlStorageController::TryLoad(IStorageInitializer* init, std::string& failure) {
  const std::string& text = backup_.Content();
  std::shared_ptr<XmlDocument> document;
  try {
    document = ParseXmlDocument(text.data(), text.size());
  } catch (const CVelXmlParseException& error) {
    // A missing file is routine on a first start.
    if (backup_.Content().empty()) logger::Info(messages::xmlfile::kNoSettingsIn, backup_.Source().c_str());
    failure = error.what();
    return false;
  }
  if (Adopt(std::move(document), init)) return true;
  failure = messages::xmlfile::kCheckRefused;
  return false;
}

void XmlStorageController::LoadEmpty(IStorageInitializer* init) {
  init->OnLoadBegin();
  if (Adopt(std::make_shared<XmlDocument>(std::unique_ptr<XmlNode>(XmlNode::CreateNode())), init)) {
    init->OnLoadSucceeded();
    return;
  }
  init->OnLoadFailed();
  throw AssertException(messages::xmlfile::kControllerFile,
                        messages::xmlfile::kControllerConstructor, __LINE__,
                        messages::xmlfile::kCheckRefusedEmpty);
}

namespace {

// A file that cannot be watched (its directory is gone, or no watch is left
// to the user) leaves the watches to this process's own changes.
std::shared_ptr<ChangeHub> WatchedFileHub(const std::string& file) {
  auto makeWatch = [file]() -> ChangeHub::OutsideWait {
    try {
      auto watch = std::make_shared<platform::FileChangeWatch>(file);
      return [watch](uint32_t milliseconds) { return watch->Wait(milliseconds); };
    } catch (const std::runtime_error& error) {
      logger::Error(messages::xmlfile::kFileNotWatched, file.c_str(), error.what());
      return [](uint32_t milliseconds) {
        platform::SleepMs(milliseconds);
        return false;
      };
    }
  };
  return std::make_shared<ChangeHub>(nullptr, makeWatch, true);
}

}  // namespace

bool XmlStorageController::Adopt(std::shared_ptr<XmlDocument> document, IStorageInitializer* init) {
  root_.reset();  // it pins the earlier document's root
  document_ = std::move(document);
  document_->changes = WatchedFileHub(settingsFile_);
  root_.reset(new XmlStorage(document_->root.get()));
  StorageCheckFunction check = init->GetCheckFunction();
  if (check == nullptr || check(root_.get(), STORAGE_XML)) return true;
  logger::Info(messages::xmlfile::kCheckRefusedLoaded, settingsFile_.c_str());
  root_.reset();
  document_.reset();
  return false;
}

IStorageSection* XmlStorageController::GetRoot() {
  root_->AddRef();
  return root_.get();
}

void XmlStorageController::LoadSuccessful() { backup_.Confirm(); }

void XmlStorageController::Save() {
  threads::MutexGuard guard(document_->mutex);
  try {
    XmlSaver saver;
    saver.SetOutputMode(true, "  ");
    saver.Save(document_->root.get(), settingsFile_.c_str());
  } catch (const XmlSaverException& error) {
    logger::Error(messages::xmlfile::kCannotSave, settingsFile_.c_str(), error.what());
  }
}

}  // namespace storage
