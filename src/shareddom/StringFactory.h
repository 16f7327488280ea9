// The shared string table of the shared DOM: every name and value text is
// stored once in shared memory and named by a SID that means the same string
// in every process. Each process keeps an index of the strings it knows; it
// learns of strings made by other processes by rescanning the table's hives
// under the table's root lock, which also makes creation one process at a time.
//
// Root block, 12 bytes: 0 root lock (owner lock, free 0xCCCCCCCC),
// 8 SID counter (the last SID issued, 0 in a new storage).
#ifndef SETTINGSTORE_SHAREDDOM_STRINGFACTORY_H
#define SETTINGSTORE_SHAREDDOM_STRINGFACTORY_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "base/Mutex.h"
#include "shareddom/IStringHolder.h"
#include "shareddom/Messages.h"
#include "shareddom/SidHints.h"
#include "shareddom/StringHolderFactory.h"
#include "shm/InitMemAddress.h"
#include "shm/OwnerLock.h"
#include "shm/PageManager.h"

namespace storage {

// Every SID has been handed out (in practice: a damaged counter). A standard
// logic error, whose own type lets the shared DOM report it as exhausted
// shared resources instead of letting it reach the host unexpected.
class SidsExhaustedError : public std::logic_error {
 public:
  SidsExhaustedError() : std::logic_error(messages::shareddom::kSidsExhausted) {}
};

class StringFactory final : public IStringHolderOwner {
 public:
  // SIDs are issued from 1 up to this one.
  static constexpr int32_t kMaxSID = 0x7FFFFFF7;
  static constexpr uint32_t kRootSize = 12;
  static constexpr uint32_t kRootCounterOffset = 8;

  // One counted reference on a string, or nothing.
  class StringAutoRelease {
   public:
    StringAutoRelease() = default;
    // Takes a reference; the handle stays empty when the string refuses it.
    explicit StringAutoRelease(IStringHolder* holder);
    StringAutoRelease(const StringAutoRelease& other);
    StringAutoRelease(StringAutoRelease&& other) noexcept : holder_(other.holder_) {
      other.holder_ = nullptr;
    }
    StringAutoRelease& operator=(StringAutoRelease other) noexcept;
    ~StringAutoRelease();

    // False when empty or when the string is gone.
    bool IsValid() const;
    // The text; null for an empty handle.
    const char* GetString() const;
    // The SID; -1 for an empty handle or a string that is gone.
    int32_t GetSID() const;
    // One more reference on the caller's behalf, dropped later through
    // GetHolder()->Release(); the DOM counts one per node word holding the SID.
    void AddRef() const;
    IStringHolder* GetHolder() const { return holder_; }
    // Forgets the string without releasing it: for a handle that outlived the
    // factory, whose string objects are gone.
    void Abandon() { holder_ = nullptr; }

   private:
    friend class StringFactory;
    struct Adopt {};
    // Takes over a reference the caller has already taken.
    StringAutoRelease(IStringHolder* holder, Adopt) : holder_(holder) {}

    IStringHolder* holder_ = nullptr;
  };

  // The table's hives are named after namePrefix and, with a filePath, kept in
  // files next to it; external strings live in filePath's directory.
  StringFactory(const char* namePrefix, const char* filePath);
  // Destroys the holder objects of the index (their shared references belong
  // to the handles) and unloads the hives.
  ~StringFactory();
  StringFactory(const StringFactory&) = delete;
  StringFactory& operator=(const StringFactory&) = delete;

  // Names: the string equal to the text without regard to case, created when
  // there is none. When several strings differ from the text only in case
  // (value texts may), the one with the lowest SID answers: it is the first
  // stored, and every process knows it, so all resolve a name alike.
  StringAutoRelease GetSID(const char* text);
  // As GetSID, but never creates: an empty handle when there is no such string.
  StringAutoRelease PeekSID(const char* text);
  // Values: the string equal to the text byte for byte, created when there is
  // none, so that a value comes back exactly as written even when a string
  // differing only in case exists.
  StringAutoRelease GetExactSID(const char* text);
  StringAutoRelease PeekExactSID(const char* text);
  // The string with this SID, or an empty handle when it is gone.
  StringAutoRelease GetString(int32_t sid);

  // The configurator's call once the hives are loaded: finds or makes the
  // root and indexes the strings already there.
  void OnMemManagerInitialized();

  IStringHolder* Remove(int32_t sid) override;
  const std::string& ExternalDirectory() const override { return externalDirectory_; }

  // The hives of the table.
  PageManager& Pages() { return *pageManager_; }

 private:
  enum class Match { kIgnoreCase, kExact };
  enum class Mode { kGet, kPeek };
  struct Candidate {
    int32_t sid;
    IStringHolder* holder;
  };
  struct Entry {
    IStringHolder* holder;
    int32_t hash;
  };
  struct ScannedBlock {
    InitMemAddress address;
    int32_t size;
    int32_t sid;
  };
  class ScanEnumerator;

  StringAutoRelease GetByText(const char* text, Match match, Mode mode, const char* function);
  StringAutoRelease GetBySid(int32_t sid);
  // Both under the mutex; the result carries a reference the caller owns.
  IStringHolder* FindByText(std::string_view text, int32_t hash, Match match);
  IStringHolder* FindBySid(int32_t sid);
  // Under the mutex and the root lock: the strings made since the last scan go
  // into the index; `whole` looks at every block again.
  void Rescan(bool whole);
  // Under the mutex and the root lock: indexes the string that the hint
  // table names for the SID, when the block it names still is that string.
  void IndexHinted(int32_t sid);
  // Indexes the scanned blocks; returns the highest SID registered, or 0.
  int32_t IndexBlocks(const std::vector<ScannedBlock>& blocks);
  bool RegisterHolder(int32_t sid, IStringHolder* holder);
  // Takes the holder out of both maps and hands it over; null when absent.
  IStringHolder* Unlink(int32_t sid);
  void Drop(int32_t sid);
  // Drops the holders of this hash whose strings other processes have freed.
  void DropGone(int32_t hash);
  // Under the root lock.
  StringAutoRelease Create(std::string_view text);
  int32_t NextSid();
  bool NothingNewSinceScan();
  // Removes the external-string files that no indexed string names.
  void RemoveUnnamedExternalFiles();

  owner::OwnerLock& RootBlockLock() { return *reinterpret_cast<owner::OwnerLock*>(root_); }
  std::atomic_ref<uint32_t> SidCounter() { return std::atomic_ref<uint32_t>(root_[kRootCounterOffset / 4]); }

  std::string externalDirectory_;
  std::unique_ptr<PageManager> ownedPageManager_;
  // The slot through which holders reach the hives.
  PageManager* pageManager_ = nullptr;
  StringHolderFactory holderFactory_;
  std::unique_ptr<SidHints> hints_;
  threads::Mutex mutex_;
  std::unordered_map<int32_t, Entry> bySid_;
  // Every string of a hash, all spellings: names and exact values both look
  // here. Most hashes have one string: a node each, no list per hash.
  std::unordered_multimap<int32_t, Candidate> byHash_;
  uint32_t* root_ = nullptr;
  // The highest SID up to which this process has indexed every live string.
  int32_t knownSid_ = 0;
  // Per hive, how many block descriptors the last rescan had met.
  std::vector<int32_t> scanMarks_;
};

using StringAutoRelease = StringFactory::StringAutoRelease;

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_STRINGFACTORY_H
