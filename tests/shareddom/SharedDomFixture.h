// The one place where the shared DOM tests and their helper process bring a
// shared DOM (or its string table alone) up and down and reach its services;
// the rest are small readers, writers and waits that both sides share.
#ifndef SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H
#define SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "shareddom/MemAccessController.h"
#include "shareddom/NodeFactory.h"
#include "shareddom/SharedServices.h"
#include "shareddom/StringFactory.h"
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
  static void LockNode(const InitMemAddress& node) { Access().LockNode(node); }
  static void UnlockNode(const InitMemAddress& node) { Access().UnlockNode(node); }

 private:
  HostInitializer init_;
  storage::NoThrowStorageFactory* factory_;
};

// A string table of its own, without the rest of the shared DOM, for the
// tests that look at its blocks; its strings are reached through NameString
// and TextOf only.
inline storage::StringFactory*& OwnStringTable() {
  static storage::StringFactory* table = nullptr;
  return table;
}
inline std::unique_ptr<storage::StringFactory> OpenStringTable(const std::string& name,
                                                               const std::string& file) {
  auto table = std::make_unique<storage::StringFactory>(name.c_str(), file.c_str());
  OwnStringTable() = table.get();
  return table;
}
// The test's own table while it has one, else the running shared DOM's.
inline storage::StringFactory& StringTable() {
  if (storage::SharedServices::Current() != nullptr) return storage::SharedServices::Current()->Strings();
  return *OwnStringTable();
}

using StringRef = storage::StringAutoRelease;
inline StringRef NameString(const std::string& text) { return StringTable().GetSID(text.c_str()); }
// The text of a SID; "<gone>" once its string is freed.
inline std::string TextOf(int32_t sid) {
  const StringRef string = StringTable().GetString(sid);
  return string.IsValid() ? string.GetString() : "<gone>";
}

// The client blocks of a page manager: their sizes by address.
inline std::map<uint32_t, int32_t> Blocks(storage::PageManager& pages) {
  struct Collector : storage::MemoryBlockVisitor {
    bool MemoryBlock(const InitMemAddress& address, int32_t size) override {
      return blocks.emplace(address.Value(), size).second;
    }
    std::map<uint32_t, int32_t> blocks;
  } collector;
  pages.Enumerate(collector, false);
  return collector.blocks;
}
inline std::atomic_ref<uint32_t> WordAt(storage::PageManager& pages, const InitMemAddress& at,
                                        uint32_t offset) {
  return std::atomic_ref<uint32_t>(
      *reinterpret_cast<uint32_t*>(static_cast<char*>(pages.GetPoint(at)) + offset));
}

// String heads are the blocks of 44 and 48 bytes, their chunks of 36. The
// table's root is its one block of 12, which starts with the root lock.
inline size_t StringBlockCount(storage::PageManager& pages) {
  const auto blocks = Blocks(pages);
  return std::count_if(blocks.begin(), blocks.end(),
                       [](const auto& b) { return b.second == 36 || b.second >= 44; });
}
// The head block of a SID's string; with SID 0, the root block.
inline InitMemAddress FindHead(storage::PageManager& pages, int32_t sid) {
  for (const auto& [at, size] : Blocks(pages)) {
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
inline uint32_t ReadInteger(IStorageSection& section, const char* name) {
  const std::string bytes = ReadKey(section, name);
  return bytes.size() == 4 ? *reinterpret_cast<const uint32_t*>(bytes.data()) : 0xBAD;
}
inline void Write(IStorageSection& section, const char* name, storage::Type type, const std::string& bytes) {
  Ref<IStorageKey>(section.CreateKey(name))->Write(type, bytes.data(), static_cast<unsigned>(bytes.size()));
}
inline void WriteString(IStorageSection& section, const char* name, const std::string& text) {
  Write(section, name, storage::TYPE_STRING, text + '\0');
}
inline void WriteInteger(IStorageSection& section, const char* name, uint32_t value) {
  Write(section, name, storage::TYPE_INTEGER, std::string(reinterpret_cast<const char*>(&value), 4));
}

inline void TouchFile(const std::filesystem::path& path) { std::ofstream(path).put('\n'); }

// Waits up to two minutes: the processes of a run under a sanitizer may take that long.
template <class Done>
bool WaitUntil(Done done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}
inline bool WaitForFile(const std::filesystem::path& path) {
  return WaitUntil([&] { return std::filesystem::exists(path); });
}

// Part n of a sample tree: a value of every type, which no other part
// holds, each in section Part<n>/<type> under the key Value. Integers are
// the first four bytes of binaries.
inline std::string PartName(int part) { return "Part" + std::to_string(part); }
inline std::string SampleBytes(int part, storage::Type type) {
  const std::string n = std::to_string(part), zero(1, '\0');
  const uint32_t number = 0xFFFFFF00u + static_cast<uint32_t>(part);
  std::string bytes(reinterpret_cast<const char*>(&number), 4);
  for (int b = 0; type == storage::TYPE_BINARY && b < 256; ++b) bytes.push_back(static_cast<char>(b + part));
  if (type == storage::TYPE_STRING) return "Title " + n + zero;
  return type == storage::TYPE_MULTI_STRING ? "Sans " + n + zero + "Mono" + zero + zero : bytes;
}
constexpr storage::Type kSampleTypes[] = {storage::TYPE_STRING, storage::TYPE_INTEGER, storage::TYPE_BINARY,
                                          storage::TYPE_MULTI_STRING};
inline std::string SamplePlace(int part, storage::Type type) {
  return PartName(part) + "/" + std::to_string(type);
}
inline void WriteSample(IStorageSection& root, int part) {
  for (storage::Type type : kSampleTypes) {
    Write(*Ref<IStorageSection>(root.CreateSection(SamplePlace(part, type).c_str())), "Value", type,
          SampleBytes(part, type));
  }
}
// Empty when the part is there exactly as WriteSample left it; else where it differs.
inline std::string CheckSample(IStorageSection& root, int part) {
  std::string problems;
  for (storage::Type type : kSampleTypes) {
    try {
      Ref<IStorageKey> key(
          Ref<IStorageSection>(root.OpenSection(SamplePlace(part, type).c_str()))->OpenKey("Value"));
      if (key->GetType() == type && ReadBytes(*key) == SampleBytes(part, type)) continue;
    } catch (const storage::Exception&) {
    }
    problems += SamplePlace(part, type) + "\n";
  }
  return problems;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H
