// One storage of each backend, opened through the public API alone, in a
// place of its own that is removed at the end: the registry store under an
// HKCU path named for this process and object (on Windows every test shares
// the system's registry; on Linux it is in a temporary database), the XML
// file and the shared DOM in a temporary directory. Outcomes of calls are turned into short texts so
// that one table can hold the expected result of every backend.
#ifndef SETTINGSTORE_TESTS_API_STORAGES_H
#define SETTINGSTORE_TESTS_API_STORAGES_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/Platform.h"
#include "storage/storage.h"
#include "support/TempDirectory.h"

namespace settingstore::test {

using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;
using Strings = std::vector<std::string>;

// Records what the library tells the host; the check function is the test's.
class HostInitializer : public storage::IStorageInitializer {
 public:
  explicit HostInitializer(std::string path, std::string defaultPath = "")
      : path_(std::move(path)), default_(defaultPath.empty() ? path_ : std::move(defaultPath)) {}
  const char* GetPath() override { return path_.c_str(); }
  const char* GetDefaultPath() override { return default_.c_str(); }
  void OnLoadBegin() override { calls += " Begin"; }
  void OnLoadSucceeded() override { calls += " Succeeded"; }
  void OnLoadFailed() override { calls += " Failed"; }
  bool RetryLoad() override {
    calls += " Retry";
    return retries-- > 0;
  }
  storage::StorageCheckFunction GetCheckFunction() override { return check; }

  std::string calls;  // what the host heard, in order
  int retries = 0;
  storage::StorageCheckFunction check = nullptr;

 private:
  std::string path_, default_;
};

inline Strings Names(storage::INamesEnumerator* adopted);

// Deletes the section with everything below it; a section that is not there
// is left alone.
inline void RemoveSection(IStorageSection* parent, const std::string& path) {
  {
    Ref<IStorageSection> section(parent->OpenSection(path.c_str()));
    if (!section) return;
    for (const std::string& key : Names(section->EnumKeys())) section->DeleteKey(key.c_str());
    for (const std::string& child : Names(section->EnumSections())) RemoveSection(section.get(), child);
  }
  parent->DeleteSection(path.c_str());
}

class Storage {
 public:
  explicit Storage(storage::StorageType type) : type_(type) {
    if (type != storage::STORAGE_REGISTRY) return;
    static int made = 0;
    key_ = "Software\\Conformance-" + std::to_string(storage::platform::CurrentProcessId()) + "-" +
           std::to_string(++made);
    storage::SetRegistryDatabase(directory_.File("registry.db").c_str());
    // The registry backend opens its path, it never creates it.
    Ref<IStorageSection> user(storage::GetRegStorage("HKCU"));
    Ref<IStorageSection>(user->CreateSection(key_.c_str()));
  }
  ~Storage() {
    Close();
    if (type_ != storage::STORAGE_REGISTRY) return;
    try {
      RemoveSection(Ref<IStorageSection>(storage::GetRegStorage("HKCU")).get(), key_);
    } catch (const storage::Exception& e) {
      ADD_FAILURE() << "the test's registry key stays behind: " << e.GetErrorCode();
    }
    storage::SetRegistryDatabase(nullptr);
  }
  std::string Location() const {
    return type_ == storage::STORAGE_REGISTRY ? "HKCU\\" + key_ : directory_.path().string();
  }
  storage::NoThrowStorageFactory* Open(HostInitializer& init) {
    Close();
    return factory_ = InitializeStorage(type_, &init);
  }
  storage::NoThrowStorageFactory* Open() { return Open(*std::make_unique<HostInitializer>(Location())); }
  storage::NoThrowStorageFactory* factory() const { return factory_; }
  Ref<IStorageSection> Root() const { return Ref<IStorageSection>(factory_->GetRoot()); }
  // Ends the storage as a host does; objects the test still holds stay with it.
  void Close() {
    if (factory_ != nullptr) factory_->Dispose();
    factory_ = nullptr;
    DeinitializeStorage(type_);
  }

 private:
  storage::StorageType type_;
  std::string key_;  // the registry's, below HKCU
  TempDirectory directory_;
  storage::NoThrowStorageFactory* factory_ = nullptr;
};

// "ok", "false", "<class> <code>" for an error of the storage::Exception
// family, or what else escaped.
template <class Call>
std::string Outcome(Call&& call) {
  try {
    return call() ? "ok" : "false";
  } catch (const storage::Exception& e) {
    const std::type_info& t = typeid(e);
    return (t == typeid(storage::NotEmptyException) ? "NotEmpty "
            : t == typeid(storage::DeleteException) ? "Delete "
            : t == typeid(storage::OpenException)   ? "Open "
            : t == typeid(storage::CreateException) ? "Create "
            : t == typeid(storage::IOException)     ? "IO "
                                                    : "Exception ") +
           std::to_string(e.GetErrorCode());
  } catch (const storage::TechnicalException&) {
    return "Technical";
  } catch (const storage::AssertException&) {
    return "Assert";
  }
}

// Takes over an operation's reference: whether it gave an object.
inline bool Made(storage::IAddRef* object) {
  if (object != nullptr) object->Release();
  return object != nullptr;
}

inline Strings Names(storage::INamesEnumerator* adopted) {
  Ref<storage::INamesEnumerator> names(adopted);
  Strings seen;
  while (names && names->Next()) seen.emplace_back(names->Current());
  return seen;
}

inline bool Write(IStorageKey* key, storage::Type type, const std::string& bytes) {
  return key->Write(type, bytes.data(), static_cast<unsigned>(bytes.size()));
}

inline bool WriteString(IStorageKey* key, const std::string& text) {
  return key->Write(storage::TYPE_STRING, text.c_str(), static_cast<unsigned>(text.size() + 1));
}

// The value's bytes, read into a buffer of exactly its size.
inline std::string ReadBytes(IStorageKey* key) {
  std::string bytes(key->GetSize(), '#');
  if (!key->Read(bytes.data(), static_cast<unsigned>(bytes.size()))) return "<read failed>";
  return bytes;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_API_STORAGES_H
