#include "XMLStorage/XMLStorageController.h"

#include <utility>

#include "ProcessValues.h"
#include "Utils/PathUtils.h"
#include "framework/Exceptions.h"
#include "framework/Logger.h"
#include "xml/VelXmlParser.h"
#include "xml/VelXmlSaver.h"

namespace storage {

namespace {

std::string SettingsFilePath() { return utils::Join(XmlStorageDirectory(), XmlSettingsFileName()); }

std::string DefaultFilePath() {
  return utils::Join(XmlDefaultDirectory(), XmlSettingsFileName()) + ".default";
}

}  // namespace

std::shared_ptr<XMLDocument> ParseXmlDocument(const char* text, size_t length) {
  CVelXmlParser parser;
  parser.trim_whitespaces(true);
  parser.loadFromString(text, length);
  return std::make_shared<XMLDocument>(std::unique_ptr<CVelXmlNode>(parser.dettachRoot()));
}

XMLStorageController::XMLStorageController(IStorageInitializer* init)
    : settingsFile_(SettingsFilePath()), backup_(settingsFile_.c_str(), DefaultFilePath().c_str()) {
  init->OnLoadBegin();
  for (;;) {
    backup_.Prepare();
    if (TryLoad(init)) {
      init->OnLoadSucceeded();
      return;
    }
    init->OnLoadFailed();
    backup_.RemoveFailed();
    if (!backup_.HasNextStep()) break;
    backup_.NextStep();
  }
  LoadEmpty(init);
}

bool XMLStorageController::TryLoad(IStorageInitializer* init) {
  const std::string& text = backup_.content();
  std::shared_ptr<XMLDocument> document;
  try {
    document = ParseXmlDocument(text.data(), text.size());
  } catch (const CVelXmlParseException& error) {
    // A missing file is routine on a first start; a damaged one is worth telling.
    if (text.empty()) {
      logger::info("No settings in %s (step %d)", settingsFile_.c_str(), backup_.step());
    } else {
      logger::error("Cannot load the settings from %s (step %d): %s", settingsFile_.c_str(), backup_.step(),
                    error.what());
    }
    return false;
  }
  return Adopt(std::move(document), init);
}

void XMLStorageController::LoadEmpty(IStorageInitializer* init) {
  init->OnLoadBegin();
  if (Adopt(std::make_shared<XMLDocument>(std::unique_ptr<CVelXmlNode>(CVelXmlNode::createNode())), init)) {
    init->OnLoadSucceeded();
    return;
  }
  init->OnLoadFailed();
  backup_.RemoveFailed();
  throw AssertException("XMLStorage\\XMLStorageController",
                        "storage::XMLStorageController::XMLStorageController", __LINE__,
                        "the check function refused even empty settings");
}

bool XMLStorageController::Adopt(std::shared_ptr<XMLDocument> document, IStorageInitializer* init) {
  root_.reset();  // it pins the earlier document's root
  document_ = std::move(document);
  root_.reset(new XMLStorage(document_->root.get()));
  StorageCheckFunction check = init->GetCheckFunction();
  if (check == nullptr || check(root_.get(), STORAGE_XML)) return true;
  logger::info("The check function refused the settings loaded for %s", settingsFile_.c_str());
  root_.reset();
  document_.reset();
  return false;
}

IStorageSection* XMLStorageController::GetRoot() {
  root_->AddRef();
  return root_.get();
}

void XMLStorageController::LoadSuccessful() { backup_.Confirm(); }

void XMLStorageController::Save() {
  veltool3::MutexGuard guard(document_->mutex);
  try {
    CVelXmlSaver saver;
    saver.SetOutputMode(true, "  ");
    saver.Save(document_->root.get(), settingsFile_.c_str());
  } catch (const CVelXmlSaverException& error) {
    logger::error("Cannot save the settings to %s: %s", settingsFile_.c_str(), error.what());
  }
}

}  // namespace storage
