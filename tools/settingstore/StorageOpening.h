// Opens the storage the command line names. A command that changes it saves
// it; a read leaves its files as they were.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_STORAGEOPENING_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_STORAGEOPENING_H

#include <memory>
#include <string>

#include "storage/storage.h"

namespace storage::platform {
class FileLock;
}

namespace cli {

struct StorageOptions {
  std::string type = "xml";
  std::string path;  // empty: "HKCU" for the registry, "." for XML
  std::string defaultPath;
  std::string registryDb;
};

// "registry"/"xml"/"shared" or 0/1/2; anything else is a usage error.
storage::StorageType ParseStorageType(const std::string& text);

// A section path with slashes or backslashes, as the backends take it:
// backslashes only, no separator at either end ("" is the root).
std::string NormalizeSectionPath(const std::string& path);

// A registry --path as .reg files write it, the root spelled out:
// "HKCU\\Software\\Example" gives "HKEY_CURRENT_USER\\Software\\Example".
std::string LongRegistryPath(const std::string& path);

// A read needs a storage that is there: when none is, a CliError "no storage
// at PATH" (not found), and nothing is made. XML: its file, backup or default
// file; shared: its hive files or a process that has it up; registry: the
// database file (the key itself is looked for as it opens).
void RequireStorage(const StorageOptions& options);

// A CliError naming the directory and its owner when another user controls it.
void RequireTrustedDirectory(const std::string& directory);

class OpenedStorage {
 public:
  enum class Access { kRead, kWrite };
  // For writing, a missing registry key named by --path is created; for
  // reading it is "no storage at PATH". An XML storage is locked against
  // other runs of the tool from its load to its save (a read only while it
  // loads); a damaged XML file is reported, and the command then not run.
  OpenedStorage(const StorageOptions& options, Access access);
  ~OpenedStorage();
  OpenedStorage(const OpenedStorage&) = delete;
  OpenedStorage& operator=(const OpenedStorage&) = delete;

  // The section that --path names inside the storage.
  storage::IStorageSection* root() const { return root_.get(); }
  // Writes the changes back to the storage's files; a failed save, which the
  // library only logs, is a CliError here.
  void save();
  // Ends the use of the storage. For a shared storage, the last process to
  // leave writes its files: their failure is a CliError naming them.
  void leave();

 private:
  // False when the shared storage's files could not be saved.
  bool close();

  // Declared first, so that it is released after everything else.
  std::unique_ptr<storage::platform::FileLock> lock_;
  storage::StorageType type_;
  storage::NoThrowStorageFactory* factory_ = nullptr;
  storage::Ref<storage::IStorageSection> root_;
};

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_STORAGEOPENING_H
