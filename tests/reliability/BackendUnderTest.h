// One storage of each backend, opened through the public API alone, in a
// place of its own that is removed at the end: the registry store in a
// temporary database under an HKCU path, the XML file and the shared DOM in
// a temporary directory.
#ifndef SETTINGSTORE_TESTS_RELIABILITY_BACKENDUNDERTEST_H
#define SETTINGSTORE_TESTS_RELIABILITY_BACKENDUNDERTEST_H

#include <gtest/gtest.h>

#include <string>

#include "reliability/StorageContent.h"
#include "storage/storage.h"
#include "support/TempDirectory.h"

namespace settingstore::test {

inline const char* BackendName(storage::StorageType type) {
  switch (type) {
    case storage::STORAGE_REGISTRY:
      return "Registry";
    case storage::STORAGE_XML:
      return "Xml";
    case storage::STORAGE_SHARED_DOM:
      return "SharedDom";
  }
  return "Unknown";
}

class BackendUnderTest {
 public:
  static constexpr const char* kRegistryPath = "HKCU\\Software\\SettingstoreBadInput";

  explicit BackendUnderTest(storage::StorageType type) : type_(type) {
    std::string location = directory_.path().string();
    if (type == storage::STORAGE_REGISTRY) {
      storage::SetRegistryDatabase(directory_.File("registry.db").c_str());
      // The registry backend opens its path, it never creates it.
      storage::Ref<storage::IStorageSection> user(storage::GetRegStorage("HKCU"));
      storage::Ref<storage::IStorageSection>(user->CreateSection("Software\\SettingstoreBadInput"));
      location = kRegistryPath;
    }
    init_ = std::make_unique<PathInitializer>(location);
    factory_ = InitializeStorage(type, init_.get());
  }
  ~BackendUnderTest() {
    Close();
    if (type_ == storage::STORAGE_REGISTRY) storage::SetRegistryDatabase(nullptr);
  }
  BackendUnderTest(const BackendUnderTest&) = delete;
  BackendUnderTest& operator=(const BackendUnderTest&) = delete;

  storage::NoThrowStorageFactory* factory() const { return factory_; }
  storage::IStorageSection* Root() const { return factory_->GetRoot(); }
  // Ends the storage as a host does: the factory goes, then the type is
  // deinitialized. Objects the test still holds stay with it.
  void Close() {
    if (factory_ == nullptr) return;
    delete factory_;
    factory_ = nullptr;
    DeinitializeStorage(type_);
  }

 private:
  storage::StorageType type_;
  TempDirectory directory_;
  std::unique_ptr<PathInitializer> init_;
  storage::NoThrowStorageFactory* factory_ = nullptr;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_RELIABILITY_BACKENDUNDERTEST_H
