// The one place where the shared DOM tests and their helper process bring a
// shared DOM (or its string table alone) up and down and reach its services;
// the rest are small readers, writers and waits that both sides share.
#ifndef SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H
#define SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "SharedStorage/DOMElements.h"
#include "SharedStorage/MemAccessController.h"
#include "SharedStorage/NodeFactory.h"
#include "SharedStorage/StringFactory.h"
#include "storage/storage.h"

namespace settingstore::test {

using storage::INamesEnumerator;
using storage::InitMemAddress;
using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;
using Strings = std::vector<std::string>;

// The host's side of InitializeStorage: a storage path, the load
// notifications in their order, and scripted retry answers.
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
    if (retry_answers.empty()) return false;
    const bool answer = retry_answers.front();
    retry_answers.pop_front();
    return answer;
  }
  storage::StorageCheckFunction GetCheckFunction() override { return nullptr; }

  Strings calls;
  std::deque<bool> retry_answers;  // RetryLoad answers false once these run out

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

// A shared DOM up for the life of the object. Refs taken from it must go
// first (declare them after the session).
class SharedDomSession {
 public:
  explicit SharedDomSession(storage::IStorageInitializer& init) : factory_(BringUp(init)) {}
  explicit SharedDomSession(const std::string& path) : own_(std::make_unique<HostInitializer>(path)) {
    factory_ = BringUp(*own_);
  }
  ~SharedDomSession() { TakeDown(factory_); }
  SharedDomSession(const SharedDomSession&) = delete;
  SharedDomSession& operator=(const SharedDomSession&) = delete;

  Ref<IStorageSection> Root() { return Ref<IStorageSection>(factory_->GetRoot()); }

  // The services of the shared DOM that is up.
  static storage::NodeFactory& Nodes() { return *storage::NodeFactory::GetInstance(); }
  static storage::MemAccessController& Access() { return *storage::MemAccessController::GetInstance(); }
  static uint32_t SectionKind() { return storage::DOMElement::Sids().section; }
  static void LockNode(const InitMemAddress& node) { storage::MemAccessController::lockNode(node); }
  static void UnlockNode(const InitMemAddress& node) { storage::MemAccessController::unlockNode(node); }

 private:
  std::unique_ptr<HostInitializer> own_;
  storage::NoThrowStorageFactory* factory_ = nullptr;
};

// A string table of its own, without the rest of the shared DOM, for the
// tests that look at its blocks. Its strings are reached through the
// functions below only.
class StringTable {
 public:
  StringTable(std::string name, std::string file) : name_(std::move(name)), file_(std::move(file)) { Load(); }
  void Load() { factory_ = std::make_unique<storage::StringFactory>(name_.c_str(), file_.c_str()); }
  void Unload() { factory_.reset(); }
  storage::StringFactory& factory() { return *factory_; }
  storage::PageManager& pages() { return factory_->pageManager(); }

 private:
  std::string name_, file_;
  std::unique_ptr<storage::StringFactory> factory_;
};

using StringRef = storage::StringAutoRelease;
inline StringRef NameString(const std::string& text) { return storage::StringFactory::GetSID(text.c_str()); }
inline StringRef ValueString(const std::string& text) {
  return storage::StringFactory::GetExactSID(text.c_str());
}
inline StringRef PeekName(const std::string& text) { return storage::StringFactory::PeekSID(text.c_str()); }
inline StringRef StringOf(int32_t sid) { return storage::StringFactory::GetString(sid); }
// The text of a SID; "<gone>" once its string is freed.
inline std::string TextOf(int32_t sid) {
  const StringRef string = StringOf(sid);
  return string.IsValid() ? string.GetString() : "<gone>";
}

struct Block {
  InitMemAddress address;
  int32_t size;
};

// Every client block of a page manager, in hive order.
inline std::vector<Block> Blocks(storage::PageManager& pages) {
  struct Collector : storage::IMemBlockEnumerator {
    bool MemoryBlock(const InitMemAddress& address, int32_t size) override {
      blocks.push_back(Block{address, size});
      return true;
    }
    std::vector<Block> blocks;
  } collector;
  pages.Enumerate(collector, false);
  return collector.blocks;
}

inline bool HasBlock(storage::PageManager& pages, const InitMemAddress& address) {
  const std::vector<Block> blocks = Blocks(pages);
  return std::any_of(blocks.begin(), blocks.end(),
                     [&](const Block& block) { return block.address == address; });
}

inline std::atomic_ref<uint32_t> WordAt(storage::PageManager& pages, const InitMemAddress& address,
                                        uint32_t offset) {
  return std::atomic_ref<uint32_t>(
      *reinterpret_cast<uint32_t*>(static_cast<char*>(pages.GetPoint(address)) + offset));
}

// String heads are the blocks of 44 and 48 bytes, their chunks of 36.
inline size_t StringBlockCount(storage::PageManager& pages) {
  const std::vector<Block> blocks = Blocks(pages);
  return std::count_if(blocks.begin(), blocks.end(),
                       [](const Block& b) { return b.size == 36 || b.size >= 44; });
}

// The head block that carries this SID; a null address when none does.
inline InitMemAddress FindHead(storage::PageManager& pages, int32_t sid) {
  for (const Block& block : Blocks(pages)) {
    if (block.size >= 44 && static_cast<int32_t>(WordAt(pages, block.address, 40).load()) == sid) {
      return block.address;
    }
  }
  return InitMemAddress();
}

// The lock word that opens the string table's root block (its one 12-byte block).
inline storage::owner::OwnerLock& RootLock(storage::PageManager& pages) {
  for (const Block& block : Blocks(pages)) {
    if (block.size == 12) return *static_cast<storage::owner::OwnerLock*>(pages.GetPoint(block.address));
  }
  throw std::logic_error("no root block");
}

// Takes hive 1's remaining fresh space with filler blocks, so that its next
// allocations reuse released blocks (or go to a new hive).
inline std::vector<InitMemAddress> FillFirstHive(storage::PageManager& pages) {
  std::vector<InitMemAddress> fillers;
  for (uint32_t size = 1 << 19; size >= 4;) {
    const InitMemAddress address = pages.Allocate(size);
    if (address.hive() == 1) {
      fillers.push_back(address);
    } else {
      pages.Release(address);
      size /= 2;
    }
  }
  return fillers;
}

// Every name an enumerator gives, in its order; takes over its reference.
inline Strings Names(INamesEnumerator* adopted) {
  Ref<INamesEnumerator> names(adopted);
  Strings result;
  while (names->Next()) result.emplace_back(names->Current());
  return result;
}

// The bytes a key holds, exactly GetSize() of them.
inline std::string ReadBytes(IStorageKey& key) {
  std::string buffer(key.GetSize(), '\0');
  if (!key.Read(buffer.data(), static_cast<unsigned>(buffer.size()))) return "<Read returned false>";
  return buffer;
}
inline std::string ReadKey(IStorageSection& section, const char* name) {
  return ReadBytes(*Ref<IStorageKey>(section.OpenKey(name)));
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
inline uint32_t ReadInteger(IStorageSection& section, const char* name) {
  uint32_t value = 0;
  Ref<IStorageKey>(section.OpenKey(name))->Read(&value, sizeof value);
  return value;
}

// The value of section/name as text once it holds one of that type, else
// empty: for polling what another process writes.
inline std::string FindValue(IStorageSection& root, const char* section, const char* name,
                             storage::Type type) {
  try {
    Ref<IStorageKey> key(Ref<IStorageSection>(root.OpenSection(section))->OpenKey(name));
    if (key->GetType() == type) return ReadBytes(*key);
  } catch (const storage::Exception&) {
    // not written yet
  }
  return "";
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

// A settings tree with a value of every type, in numbered parts whose
// values never match; one process writes a part and another checks it.
struct SampleValue {
  std::string section, key;
  storage::Type type;
  std::string bytes;  // what Read gives back
};
inline std::string PartName(int part) { return "Part" + std::to_string(part); }

inline std::vector<SampleValue> SampleValues(int part) {
  const std::string top = PartName(part), n = std::to_string(part), zero(1, '\0');
  std::string all_bytes;
  for (int b = 0; b < 256; ++b) all_bytes.push_back(static_cast<char>((b + part) & 0xFF));
  const uint32_t number = 0xFFFFFF00u + static_cast<uint32_t>(part);
  return {{top, "Title", storage::TYPE_STRING, "Window Title " + n + zero},
          {top, "Count", storage::TYPE_INTEGER, std::string(reinterpret_cast<const char*>(&number), 4)},
          {top + "/Display/Colors", "Palette", storage::TYPE_BINARY, all_bytes},
          {top + "/Display/Colors", "Empty", storage::TYPE_BINARY, ""},
          {top + "/Display", "Fonts", storage::TYPE_MULTI_STRING, "Sans " + n + zero + "Mono" + zero + zero},
          {top + "/Display", "MixedCase", storage::TYPE_STRING, "MiXeD " + n + zero}};
}

inline void WriteSample(IStorageSection& root, int part) {
  for (const SampleValue& v : SampleValues(part)) {
    Write(*Ref<IStorageSection>(root.CreateSection(v.section.c_str())), v.key.c_str(), v.type, v.bytes);
  }
}

// Empty when the part is there exactly as WriteSample left it; else what differs.
inline std::string CheckSample(IStorageSection& root, int part) {
  std::string problems;
  try {
    for (const SampleValue& v : SampleValues(part)) {
      Ref<IStorageKey> key(Ref<IStorageSection>(root.OpenSection(v.section.c_str()))->OpenKey(v.key.c_str()));
      if (key->GetType() != v.type || ReadBytes(*key) != v.bytes) problems += v.section + "/" + v.key + "\n";
    }
    Ref<IStorageSection> top(root.OpenSection(PartName(part).c_str()));
    if (Names(top->EnumKeys()) != Strings{"Title", "Count"}) problems += "keys of the top\n";
    if (Names(top->EnumSections()) != Strings{"Display"}) problems += "sections of the top\n";
  } catch (const storage::Exception& e) {
    problems += "storage::Exception " + std::to_string(e.GetErrorCode()) + "\n";
  }
  return problems;
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_SHAREDDOM_SHAREDDOMFIXTURE_H
