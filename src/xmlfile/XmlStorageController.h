// The controller of an XML storage: it owns the settings document, loads it
// with the fall-back of its BackupController, hands out the root section and
// writes the document back on request.
#ifndef SETTINGSTORE_XMLFILE_XMLSTORAGECONTROLLER_H
#define SETTINGSTORE_XMLFILE_XMLSTORAGECONTROLLER_H

#include <memory>
#include <string>

#include "base/ChangeHub.h"
#include "base/Mutex.h"
#include "base/RefCounted.h"
#include "storage/storage.h"
#include "xml/XmlNode.h"
#include "xmlfile/FileBackup.h"
#include "xmlfile/XmlStorage.h"

namespace storage {

// One element tree and the lock that every thread-safe wrapper over it
// shares. Whoever holds the document keeps the tree alive.
struct XmlDocument {
  explicit XmlDocument(std::unique_ptr<XmlNode> rootElement) : root(rootElement.release()) {}

  const std::unique_ptr<XmlNode, XmlNodeDeleter> root;
  threads::Mutex mutex;
  // Counts the changes made through the document's sections, and, for a
  // document loaded from a file, another process replacing that file.
  std::shared_ptr<ChangeHub> changes = std::make_shared<ChangeHub>();
};

// Parses a whole document; CVelXmlParseException when the text is empty or
// malformed.
std::shared_ptr<XmlDocument> ParseXmlDocument(const char* text, size_t length);

class XmlStorageController : public IStorageController, public RefCounted {
 public:
  class Traits : public ITraits {
   public:
    const char* GetName() override { return "XML"; }
    bool IsThreadSafe() override { return false; }
    bool IsInterprocess() override { return false; }
    void Destroy() override { delete this; }
    StorageType GetType() override { return STORAGE_XML; }
  };

  // Loads the settings file of the initializer's locations: the settings
  // file, else its backup, else the default file, else an empty document.
  // A content that fails to parse, or that the initializer's check function
  // refuses, counts as failed: the file is moved aside, logged, and the next
  // one tried. A file that is there but cannot be read fails the load with
  // TechnicalException (unless the initializer retries) and nothing is moved.
  // Throws AssertException when even the empty document is refused.
  explicit XmlStorageController(IStorageInitializer* init);

  // The unwrapped root section, one reference for the caller.
  IStorageSection* GetRoot() override;
  // Copies the content just loaded to the backup file in the background.
  void LoadSuccessful() override;
  // Writes the document to the settings file atomically, under the
  // document's lock. A failure is logged with the path; nothing is thrown.
  void Save() override;

  const std::shared_ptr<XmlDocument>& Document() const { return document_; }

 private:
  // Only Release destroys it. Waits a few seconds at most for a backup copy
  // still being written.
  ~XmlStorageController() override;

  // Prepares the current step, as often as the initializer retries a file
  // that cannot be read; TechnicalException with the reason when it gives up.
  void PrepareStep(IStorageInitializer* init);
  // One attempt: the settings file as the backup controller prepared it.
  // False, with the reason, when it does not parse or the check function
  // refuses it.
  bool TryLoad(IStorageInitializer* init, std::string& failure);
  void LoadEmpty(IStorageInitializer* init);
  // Makes document and root section; true when the check function accepts it.
  bool Adopt(std::shared_ptr<XmlDocument> document, IStorageInitializer* init);

  std::string settingsFile_;
  BackupController backup_;
  std::shared_ptr<XmlDocument> document_;
  Ref<XmlStorage> root_;
};

}  // namespace storage

#endif  // SETTINGSTORE_XMLFILE_XMLSTORAGECONTROLLER_H
