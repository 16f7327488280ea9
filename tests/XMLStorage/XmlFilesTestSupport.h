// Helpers for the tests of the XML files: a temporary storage directory with
// the process-wide XML locations pointing into it, file helpers, and an
// initializer that records what the library tells it.
#ifndef SETTINGSTORE_TESTS_XMLSTORAGE_XMLFILESTESTSUPPORT_H
#define SETTINGSTORE_TESTS_XMLSTORAGE_XMLFILESTESTSUPPORT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "base/ProcessValues.h"
#include "storage/storage.h"
#include "support/TempDirectory.h"
#include "xmlfile/IdleSave.h"

namespace xmlfiles {

namespace fs = std::filesystem;

// A settings document whose only key tells where it came from.
inline std::string DocumentFrom(const std::string& origin) {
  return "<settings>\n  <key name=\"from_" + origin + "\"/>\n</settings>\n";
}
inline const char* kCorrupt = "<settings><key name=\"broken\"></settings";

// Destroys a traits object the way its owner must.
struct TraitsDestroyer {
  void operator()(storage::ITraits* traits) const { traits->Destroy(); }
};
using TraitsHolder = std::unique_ptr<storage::ITraits, TraitsDestroyer>;

inline bool Exists(const fs::path& path) { return fs::exists(path); }

inline std::string ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

// Records the notifications in order; its check function refuses what the
// test says.
class RecordingInitializer : public storage::IStorageInitializer {
 public:
  enum class Check { kNone, kAcceptAll, kRefuseAll, kRefuseEmpty };

  RecordingInitializer(std::string path, std::string defaultPath, Check check = Check::kNone)
      : path_(std::move(path)), defaultPath_(std::move(defaultPath)), check_(check) {}

  const char* GetPath() override { return path_.c_str(); }
  const char* GetDefaultPath() override { return defaultPath_.c_str(); }
  void OnLoadBegin() override { calls.emplace_back("Begin"); }
  void OnLoadSucceeded() override { calls.emplace_back("Succeeded"); }
  void OnLoadFailed() override { calls.emplace_back("Failed"); }
  bool RetryLoad() override { return false; }
  storage::StorageCheckFunction GetCheckFunction() override {
    switch (check_) {
      case Check::kNone:
        return nullptr;
      case Check::kAcceptAll:
        return [](storage::IStorageSection*, storage::StorageType) { return true; };
      case Check::kRefuseAll:
        return [](storage::IStorageSection*, storage::StorageType) { return false; };
      case Check::kRefuseEmpty:
        return &HasKeys;
    }
    return nullptr;
  }

  std::vector<std::string> calls;

 private:
  static bool HasKeys(storage::IStorageSection* root, storage::StorageType type) {
    storage::Ref<storage::INamesEnumerator> keys(root->EnumKeys());
    return type == storage::STORAGE_XML && keys->Next();
  }

  std::string path_;
  std::string defaultPath_;
  Check check_;
};

// A fresh directory per test for the settings and the backup file, with a
// subdirectory for the default file; the initializers point there.
class XmlFilesTest : public ::testing::Test {
 protected:
  void SetUp() override { fs::create_directories(dir_ / "defaults"); }

  void TearDown() override { storage::IdleSave::WaitUntilIdle(); }

  fs::path settingsFile() const { return dir_ / ".storage"; }
  fs::path backupFile() const { return dir_ / ".storage.backup"; }
  fs::path defaultFile() const { return dir_ / "defaults" / ".storage.default"; }

  RecordingInitializer Initializer(
      RecordingInitializer::Check check = RecordingInitializer::Check::kNone) const {
    return RecordingInitializer(dir_.string(), (dir_ / "defaults").string(), check);
  }

  settingstore::test::TempDirectory directory_;
  const fs::path dir_ = directory_.path();
};

}  // namespace xmlfiles

#endif  // SETTINGSTORE_TESTS_XMLSTORAGE_XMLFILESTESTSUPPORT_H
