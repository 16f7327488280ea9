// One storage-wide address space in shared memory that grows on demand: a
// chain of 1 MiB hives, each a shared segment with its own block allocator,
// optionally backed by a ".dm2" file that keeps it between runs. Addresses
// (InitMemAddress) mean the same in every process; GetPoint resolves them.
//
// Every hive holds a 64-byte head block that clients never see:
//   0 signature "hivehead" ("deadhive" once the storage is marked dead),
//   8 hash of the next hive's data area (written at unload),
//   12 last flag (1 for the last hive of the chain, 0 when another follows),
//   16 in memory-only hives, the layout version of their records.
#ifndef SETTINGSTORE_SHM_PAGEMANAGER_H
#define SETTINGSTORE_SHM_PAGEMANAGER_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "shm/HivePointer.h"
#include "shm/InitMemAddress.h"
#include "shm/NonBlockVector.h"
#include "shm/PageMemoryManager.h"
#include "shm/SharedRegion.h"

namespace storage {

class PageManagerClient;
class Mutex;

// Visits the client blocks of a page manager.
class MemoryBlockVisitor {
 public:
  // The block's address and the size its owner asked for; false stops the walk.
  virtual bool MemoryBlock(const InitMemAddress& address, int32_t size) = 0;
  // Asked before the block is locked: false skips blocks of this size without
  // taking their locks. A block may change size meanwhile: only a client that
  // knows no block of a wanted size can appear during the walk may skip.
  virtual bool Wants(int32_t /*size*/) { return true; }

 protected:
  ~MemoryBlockVisitor() = default;
};

class PageManager {
 public:
  // The size of every hive's segment, header included.
  static constexpr uint32_t kHiveSize = 0x100000;
  // The most that a fresh hive holds next to its head block.
  static constexpr uint32_t kMaxAllocation = 1048232;
  // Hive numbers are read back as signed bytes: 127 is the last that decodes.
  static constexpr uint32_t kMaxHives = 127;
  static constexpr uint32_t kHeadSize = 64;
  // The layout of the records in memory-only hives (the traits region with
  // its reader table, the SID hints); moves with every change to them.
  static constexpr uint32_t kMemoryLayoutVersion = 3;

  PageManager() = default;
  // Unloads the hives; the last process to close a file-backed hive saves it.
  ~PageManager();
  PageManager(const PageManager&) = delete;
  PageManager& operator=(const PageManager&) = delete;

  // Loads the first hive and every hive chained after it, then calls the
  // configurator's onMemManagerInitialized while the first hive's creation
  // lock is still held, so that the start of a storage runs in one process at
  // a time. Called once.
  void Initialize(PageManagerClient* configurator);

  // A block of at least size bytes filled with 0xCC: first fit over the hives
  // in order, a new hive when none has room.
  InitMemAddress Allocate(uint32_t size);
  // Gives a block back; the null address does nothing.
  void Release(const InitMemAddress& address);
  // The block's address in this process; null for the null address. Loads
  // hives that other processes have added when the address names one.
  void* GetPoint(const InitMemAddress& address) {
    if (address.IsNull()) return nullptr;
    const uint32_t index = static_cast<uint32_t>(address.HiveNumber() - 1);
    if (index < kMaxHives) {
      const HiveView& view = views_[index];
      std::byte* data = view.data.load(std::memory_order_acquire);
      const uint32_t offset = static_cast<uint32_t>(address.Offset());
      if (data != nullptr && offset < view.size) return data + offset;
    }
    return GetPointSlow(address);
  }
  // As GetPoint for a block of `size` bytes, but null, with nothing marked or
  // thrown, when the address names no hive of the chain or the block would
  // end outside its hive: for links read without holding a reference, which
  // a concurrent free may have overwritten with anything.
  void* TryGetPoint(const InitMemAddress& address, uint32_t size);
  // Visits every client block of every loaded hive, in hive order or reversed;
  // false when the enumerator stopped the walk.
  bool Enumerate(MemoryBlockVisitor& enumerator, bool reverse);
  // As a forward Enumerate, but where a hive can still carve a block of
  // `largestBlock` bytes, only its blocks carved since the walk that left
  // `marks`: every block of that size or less handed out since then is among
  // them. A hive that cannot is walked whole. `marks` (one per hive, empty
  // at first) is updated for the next walk.
  bool EnumerateSince(MemoryBlockVisitor& enumerator, std::vector<int32_t>& marks, uint32_t largestBlock);
  // The size its owner asked for of the block in use at this address; -1
  // when none starts there or its hive is not loaded in this process.
  int32_t BlockSize(const InitMemAddress& address);
  // Loads the hives that other processes have chained since, so that a walk
  // that must see every block (Enumerate covers loaded hives only) sees them.
  void LoadNewHives() { LoadNextHives(); }
  // Whether this process read the first hive from its file: it began the
  // session, and nobody else had the storage open while it set up.
  bool FirstHiveLoadedFromFile() const { return firstHiveLoadedFromFile_; }
  // Records, for every process, that the content changed since the hives were
  // loaded or saved: the last process to leave saves the hive files only then.
  // Allocate and Release record it themselves; a client that changes its
  // blocks in place records it before.
  void MarkChanged();

 private:
  struct Hive {
    std::unique_ptr<PageMemoryManager> manager;
    HivePointer head;
    // The segment when it is backed by a file, else null.
    SharedRegion* file = nullptr;
  };
  class OpenedHive;
  class MemoryInitializeEnumerator;
  class MemoryEnumeratorHive;

  // What GetPoint and Allocate need of a loaded hive without walking the
  // list: published before the hive is counted, so a count of n means that
  // the first n views are set.
  struct HiveView {
    std::atomic<std::byte*> data{nullptr};
    uint32_t size = 0;
    std::atomic<Hive*> hive{nullptr};
  };

  void CheckPrefixes() const;
  OpenedHive GetNextHive(bool create);
  void InitializeHive(Hive& hive);
  // Hash of the file segment just loaded from its file against the word that
  // the head of the hive before it keeps for it.
  void Validate(SharedRegion* segment);
  // Opens the next hive, finds or makes its head and appends it; returns its
  // segment with the creation lock still held.
  SharedRegion* AppendNextHive(bool create);
  SharedRegion* LoadFirstHive();
  void LoadNextHives();
  // Appends the next hive unless another thread has appended more than
  // `loaded` hives meanwhile.
  void Grow(uint32_t loaded);
  InitMemAddress AllocateInHive(uint32_t hiveNumber, uint32_t size);
  void* GetPointSlow(const InitMemAddress& address);
  // Loads hives made by other processes until the address's hive is loaded;
  // false (after marking the storage dead when it has hives) when it is not.
  bool EnsureLoaded(int hiveNumber);
  void MarkDead();
  // Whether a hive's content changed in this session (a hive made anew counts).
  bool AnyHiveChanged() const;
  void UnloadHives();

  // Hive file mutexes held in the order taken, released in reverse.
  struct FileMutexes {
    FileMutexes() = default;
    FileMutexes(FileMutexes&&) = default;
    ~FileMutexes();
    std::vector<std::unique_ptr<Mutex>> locked;
  };
  FileMutexes LockFilesUpwards() const;
  std::string SegmentName(uint32_t index) const;

  bool LastIsLast() const;
  Hive& HiveAt(uint32_t index) const { return *views_[index].hive.load(std::memory_order_acquire); }

  // Per size class, the first hive where this process last found room: the
  // full hives before it are not searched block by block on every allocation.
  static constexpr size_t kHintSlots = 8;
  static size_t HintSlot(uint32_t size);
  std::array<std::atomic<uint32_t>, kHintSlots> firstRoomHints_{};

  NonBlockVector<std::unique_ptr<Hive>> hives_;
  std::array<HiveView, kMaxHives> views_;
  // Serialises this process's threads that load or make the next hive, so
  // that each hive index is appended once.
  std::mutex growth_;
  std::string filePrefix_;
  std::string namePrefix_;
  bool firstHiveLoadedFromFile_ = false;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHM_PAGEMANAGER_H
