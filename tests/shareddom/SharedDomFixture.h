// The one place where the shared DOM tests and their helper process bring a
// shared DOM (or its string table alone) up and down and reach its services;
// the rest are small readers, writers and waits that both sides share.
#ifndef SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H
#define SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "shareddom/MemAccessController.h"
#include "shareddom/NodeFactory.h"
#include "shareddom/SharedServices.h"
#include "shareddom/StringFactory.h"
#include "shm/helper/PageManagerSupport.h"
#include "storage/storage.h"

namespace settingstore::test {

using storage::InitMemAddress;
using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;
using Strings = std::vector<std::string>;

// The host's side of InitializeStorage: a storage path, the load
// notifications in their order, and how many retries it asks for.
class HostInitializer : public storage::IStorageInitializer {
 public:
  explicit HostInitializer(std::string path) : path_(std::move(path)) {}
  const char* GetPath() override { return path_.c_str(); }
  const char* GetDefaultPath() override { return nullptr; }
  void OnLoadBegin() override { calls.push_back("Begin"); }
  void OnLoadSucceeded() override { calls.push_back("Succeeded"); }
  void OnLoadFailed() override { calls.push_back("Failed"); }
  bool RetryLoad() override {
    calls.push_back("Retry");
    return retries-- > 0;
  }
  storage::StorageCheckFunction GetCheckFunction() override { return nullptr; }

  Strings calls;
  int retries = 0;

 private:
  std::string path_;
};

// Brings the shared DOM of init's path up in this process, throwing as the
// host's entry point does; TakeDown disposes of the factory and takes it down.
inline storage::NoThrowStorageFactory* BringUp(storage::IStorageInitializer& init) {
  return InitializeStorage(storage::STORAGE_SHARED_DOM, &init);
}
inline bool TakeDown(storage::NoThrowStorageFactory* factory) {
  if (factory != nullptr) factory->Dispose();
  return DeinitializeStorage(storage::STORAGE_SHARED_DOM);
}

// A shared DOM up for the life of the object, and its services. Refs taken
// from it must go first (declare them after the session).
class SharedDomSession {
 public:
  explicit SharedDomSession(const std::string& path) : init_(path), factory_(BringUp(init_)) {}
  ~SharedDomSession() { TakeDown(factory_); }
  SharedDomSession(const SharedDomSession&) = delete;
  SharedDomSession& operator=(const SharedDomSession&) = delete;

  HostInitializer& init() { return init_; }
  Ref<IStorageSection> Root() { return Ref<IStorageSection>(factory_->GetRoot()); }
  static storage::NodeFactory& Nodes() { return storage::SharedServices::Required().Nodes(); }
  static storage::MemAccessController& Access() { return storage::SharedServices::Required().Access(); }

 private:
  HostInitializer init_;
  storage::NoThrowStorageFactory* factory_;
};

// A string table of its own, without the rest of the shared DOM, for the
// tests that look at its blocks; its strings are reached through NameString
// and TextOf only.
inline storage::StringFactory* ownStringTable = nullptr;
inline std::unique_ptr<storage::StringFactory> OpenStringTable(const std::string& name,
                                                               const std::string& file) {
  auto table = std::make_unique<storage::StringFactory>(name.c_str(), file.c_str());
  ownStringTable = table.get();
  return table;
}
// The test's own table while it has one, else the running shared DOM's.
inline storage::StringFactory& StringTable() {
  if (storage::SharedServices::Current() != nullptr) return storage::SharedServices::Current()->Strings();
  return *ownStringTable;
}

using StringRef = storage::StringAutoRelease;
inline StringRef NameString(const std::string& text) { return StringTable().GetSID(text.c_str()); }
// The text of a SID; "<gone>" once its string is freed.
inline std::string TextOf(int32_t sid) {
  const StringRef string = StringTable().GetString(sid);
  return string.IsValid() ? string.GetString() : "<gone>";
}

// Whether the page manager has a client block at that address.
inline bool HasBlock(storage::PageManager& pages, const InitMemAddress& at) {
  return std::ranges::any_of(Walk(pages, false), [&](const auto& block) { return block.first == at.Value(); });
}
inline std::atomic_ref<uint32_t> WordAt(storage::PageManager& pages, const InitMemAddress& at,
                                        uint32_t offset) {
  return std::atomic_ref<uint32_t>(
      *reinterpret_cast<uint32_t*>(static_cast<char*>(pages.GetPoint(at)) + offset));
}

// The head block of a SID's string (the blocks of 44 and 48 bytes hold heads);
// with SID 0, the table's root, its one block of 12, which starts with the root lock.
inline InitMemAddress FindHead(storage::PageManager& pages, int32_t sid) {
  for (const auto& [at, size] : Walk(pages, false)) {
    if (sid == 0 ? size == 12 : size >= 44 && WordAt(pages, InitMemAddress(at), 40).load() == uint32_t(sid)) {
      return InitMemAddress(at);
    }
  }
  return InitMemAddress();
}
inline storage::owner::OwnerLock& RootLock(storage::PageManager& pages) {
  return *static_cast<storage::owner::OwnerLock*>(pages.GetPoint(FindHead(pages, 0)));
}

// Takes hive 1's remaining fresh space with filler blocks, so that its next
// allocations reuse released blocks (or go to a new hive).
inline std::vector<InitMemAddress> FillFirstHive(storage::PageManager& pages) {
  std::vector<InitMemAddress> fillers;
  for (uint32_t size = 1 << 19; size >= 4;) {
    const InitMemAddress address = pages.Allocate(size);
    if (address.HiveNumber() == 1) {
      fillers.push_back(address);
    } else {
      pages.Release(address);
      size /= 2;
    }
  }
  return fillers;
}

// Every name an enumerator gives, in its order; takes over its reference.
inline Strings Names(storage::INamesEnumerator* adopted) {
  Ref<storage::INamesEnumerator> names(adopted);
  Strings result;
  while (names->Next()) result.emplace_back(names->Current());
  return result;
}

// The bytes a key holds, exactly GetSize() of them; ReadKey gives empty
// bytes while the key or its section has no value (yet), for polling what
// another process writes.
inline std::string ReadBytes(IStorageKey& key) {
  std::string buffer(key.GetSize(), '\0');
  return key.Read(buffer.data(), static_cast<unsigned>(buffer.size())) ? buffer : "<Read returned false>";
}
inline std::string ReadKey(IStorageSection& section, const char* name, const char* below = nullptr) {
  try {
    if (below != nullptr) return ReadKey(*Ref<IStorageSection>(section.OpenSection(name)), below);
    return ReadBytes(*Ref<IStorageKey>(section.OpenKey(name)));
  } catch (const storage::Exception&) {
    return "";
  }
}
inline void Write(IStorageSection& section, const char* name, storage::Type type, const std::string& bytes) {
  Ref<IStorageKey>(section.CreateKey(name))->Write(type, bytes.data(), static_cast<unsigned>(bytes.size()));
}
inline void WriteString(IStorageSection& section, const char* name, const std::string& text) {
  Write(section, name, storage::TYPE_STRING, text + '\0');
}

// Value n of a key that readers check whole: a letter repeated as many times
// as the letter says, so that the size or text of another value shows.
inline std::string WholeValue(int n) { return std::string(10 + n % 26, static_cast<char>('a' + n % 26)); }
// Whether one read of the key gave a whole value: its text and its zero byte.
inline bool ReadsWhole(IStorageSection& section, const char* name) {
  char buffer[64];
  std::memset(buffer, 0x7F, sizeof buffer);
  Ref<IStorageKey>(section.OpenKey(name))->Read(buffer, sizeof buffer);
  const auto* end = static_cast<const char*>(std::memchr(buffer, '\0', sizeof buffer));
  return end != nullptr && end != buffer && std::string(buffer, static_cast<size_t>(end - buffer)) == WholeValue(buffer[0] - 'a');
}

// Part n of a sample tree: section Part<n>, whose key Value holds a text
// that no other part holds. Every type of value keeping its bytes across a
// reload is the conformance tests' concern.
inline std::string SamplePart(int part) { return "Part" + std::to_string(part); }
inline void WriteSample(IStorageSection& root, int part) {
  WriteString(*Ref<IStorageSection>(root.CreateSection(SamplePart(part).c_str())), "Value",
              "Title " + std::to_string(part));
}
// Whether the part is there as WriteSample left it.
inline bool HasSample(IStorageSection& root, int part) {
  return ReadKey(root, SamplePart(part).c_str(), "Value") == "Title " + std::to_string(part) + '\0';
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H
