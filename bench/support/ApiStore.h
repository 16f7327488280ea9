// Our backends as a bench Store, driven only through the public API as a host
// drives them: InitializeStorage -> factory -> root -> sections and keys.
#ifndef SETTINGSTORE_BENCH_SUPPORT_APISTORE_H
#define SETTINGSTORE_BENCH_SUPPORT_APISTORE_H

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>

#include "storage/initializer.h"
#include "storage/storage.h"
#include "storage/watch.h"
#include "support/DataShape.h"

namespace bench {

class ApiSection {
 public:
  explicit ApiSection(storage::IStorageSection* adopted) : section_(adopted) {}

  void Write(const std::string& key, const char* value) {
    storage::Ref<storage::IStorageKey>(section_->CreateKey(key.c_str()))
        ->Write(storage::TYPE_STRING, value, kValueSize);
  }
  void Flush() {}
  void Read(const std::string& key, char* buffer) {
    storage::Ref<storage::IStorageKey>(section_->OpenKey(key.c_str()))->Read(buffer, kValueSize);
  }
  int Enumerate() {
    storage::Ref<storage::INamesEnumerator> names(section_->EnumKeys());
    int count = 0;
    while (names->Next()) count += names->Current()[0] != '\0';
    return count;
  }
  storage::IStorageSection* get() const { return section_.get(); }

 private:
  storage::Ref<storage::IStorageSection> section_;
};

// A host thread that waits on a watch of the section, as long as it lives.
class Watcher {
 public:
  explicit Watcher(ApiSection& section)
      : watch_(storage::WatchSection(section.get(), false)), thread_([this] {
          while (!stop_.load()) changes_ += watch_->Wait(100) == storage::WATCH_CHANGED;
        }) {}
  ~Watcher() {
    stop_ = true;
    thread_.join();
  }

 private:
  storage::Ref<storage::ISectionWatch> watch_;
  std::atomic<bool> stop_{false};
  long changes_ = 0;
  std::thread thread_;
};

// What a store needs before InitializeStorage: nothing, or for the registry
// the database file it works on (Setup(directory), undone by its destructor).
struct NoSetup {
  explicit NoSetup(const std::string&) {}
};

struct RegistryDatabaseInDirectory {
  explicit RegistryDatabaseInDirectory(const std::string& directory) {
    storage::SetRegistryDatabase((directory + "/registry.db").c_str());
  }
  ~RegistryDatabaseInDirectory() { storage::SetRegistryDatabase(nullptr); }
};

// The storage of one type in `directory`; the registry keeps its sections
// under HKCU of the database that Setup chose.
template <storage::StorageType kType, class Setup = NoSetup>
class ApiStore : private Setup {
 public:
  using Section = ApiSection;

  explicit ApiStore(const std::string& directory)
      : Setup(directory), initializer_(kType == storage::STORAGE_REGISTRY ? "HKCU" : directory) {
    factory_ = InitializeStorage(kType, &initializer_);
    if (factory_ == nullptr) throw std::runtime_error("InitializeStorage gave no factory");
    try {
      root_.reset(factory_->GetRoot());
    } catch (...) {
      Close();
      throw;
    }
  }
  ~ApiStore() { Close(); }
  ApiStore(const ApiStore&) = delete;
  ApiStore& operator=(const ApiStore&) = delete;

  Section CreateSection(const std::string& name) { return Section(root_->CreateSection(name.c_str())); }
  Section OpenSection(const std::string& name) { return Section(root_->OpenSection(name.c_str())); }
  void Save() { factory_->Save(); }

 private:
  void Close() {
    root_.reset();
    factory_->Dispose();
    DeinitializeStorage(kType);
  }

  storage::PathInitializer initializer_;
  storage::NoThrowStorageFactory* factory_ = nullptr;
  storage::Ref<storage::IStorageSection> root_;
};

using SharedDomStore = ApiStore<storage::STORAGE_SHARED_DOM>;
using XmlStore = ApiStore<storage::STORAGE_XML>;
using RegistryStore = ApiStore<storage::STORAGE_REGISTRY, RegistryDatabaseInDirectory>;

}  // namespace bench

#endif  // SETTINGSTORE_BENCH_SUPPORT_APISTORE_H
