// The block allocator of one hive: the data area of one shared segment. Its
// whole state lives inside the area, so every process that maps the segment
// allocates from, and releases into, the same hive without talking to the
// others. Blocks are named by their offset from the start of the area.
//
// Area layout (32-bit little-endian words):
//   0 version (0x00010001), 4 carved bytes, 8 descriptor count (signed),
//   12..19 hive owner lock, 20.. block table of 16-byte descriptors
//   {offset, tag, block owner lock}; blocks are carved from the top down.
// A tag's top two bits are its state: 11 in use (low 30 bits: the size asked
// for), 01 free (the rounded size), 10 being claimed (the claiming thread).
#ifndef SETTINGSTORE_SHM_PAGEMEMORYMANAGER_H
#define SETTINGSTORE_SHM_PAGEMEMORYMANAGER_H

#include <array>
#include <atomic>
#include <cstdint>

#include "shm/SharedRegion.h"

namespace storage {

class PageMemoryManager {
 public:
  // What every failed allocation returns and every unset offset holds.
  static constexpr uint32_t kNullOffset = 0xCCCCCCCC;
  // Block sizes are 30-bit values, so no area may be this large.
  static constexpr uint32_t kMaxHiveSize = 1073741824;

  // Visits the blocks in use of one hive.
  class MemoryBlockVisitor {
   public:
    // The block's offset and the size its owner asked for; false stops the walk.
    virtual bool MemoryBlock(const uint32_t& offset, int32_t size) = 0;
    // Asked before the block is locked: false skips blocks of this size
    // without taking their locks.
    virtual bool Wants(int32_t /*size*/) { return true; }

   protected:
    ~MemoryBlockVisitor() = default;
  };

  PageMemoryManager() = default;
  // A manager must be detached first; destroying an attached one is an
  // assertion failure (logged instead while another exception unwinds).
  ~PageMemoryManager() noexcept(false);
  PageMemoryManager(const PageMemoryManager&) = delete;
  PageMemoryManager& operator=(const PageMemoryManager&) = delete;

  // Binds the manager to a segment it does not own, formatting a fresh area or
  // checking the version of a formatted one. A refused area leaves the manager
  // detached. A fresh area must not be attached by two threads at once; the
  // segment's creation lock serialises that.
  void Attach(SharedRegion* segment);
  // Unbinds the manager and hands the segment back.
  SharedRegion* Detach();

  // A block of at least size bytes filled with 0xCC, or kNullOffset when the
  // hive has no room. Fresh space is carved first; a released block is reused
  // only when carving fails, and only for its exact rounded size.
  uint32_t Allocate(uint32_t size);
  // Gives a block in use back (filled with 0xDD). A block that is not in use
  // raises BadAllocException and nothing changes.
  void Release(const uint32_t& offset);
  // The address of a byte of the area in this process.
  void* GetPoint(const uint32_t& offset);
  // Calls the enumerator for every block in use, in table order or reversed;
  // false when the enumerator stopped the walk. A forward walk also visits
  // blocks carved while it runs.
  bool Enumerate(MemoryBlockVisitor& enumerator, bool reverse);
  // A forward walk from descriptor `first` on: the blocks carved since a
  // walk that began when the table held `first` descriptors (and, like the
  // forward Enumerate, those carved while it runs).
  bool EnumerateFrom(MemoryBlockVisitor& enumerator, int32_t first);
  // The size its owner asked for of the block in use at `offset`; -1 when no
  // block in use starts there.
  int32_t BlockSize(uint32_t offset);
  // How many descriptors the table holds; each carve appends one.
  int32_t DescriptorCount() { return Entries(); }
  // Whether a block of `size` bytes would still be carved. Room only shrinks,
  // and a released block is reused only when carving fails: while this holds,
  // every block of at most `size` bytes handed out since any earlier moment
  // was carved, so none lies in a descriptor that was counted then.
  bool CanCarve(uint32_t size);

 private:
  void Initialize();
  // Whether a carve of `rounded` bytes fits, table growth and reserve included.
  bool RoomFor(uint32_t rounded);
  uint32_t AllocateAtUnmappedPart(uint32_t rounded, uint32_t requested);
  uint32_t AllocateAtMappedPart(uint32_t rounded, uint32_t requested);
  // The descriptor whose offset word is this offset, or null.
  uint32_t* FindDescriptor(uint32_t offset);
  // Whether a block of `size` bytes at `offset` starts on a word and ends in the area.
  bool LiesInside(uint32_t offset, uint32_t size);
  // Calls the enumerator for descriptor k if its block is in use.
  bool Visit(MemoryBlockVisitor& enumerator, int32_t k);

  uint32_t* Words() { return static_cast<uint32_t*>(segment_->GetData()); }
  uint32_t* Descriptor(int32_t k);
  int32_t Entries();

  // Where this process looks first for a released block of a small size:
  // the descriptor where the last search for it ended, and for how many more
  // attempts a search that found none is trusted. Hints only order the
  // search, so other processes never depend on them; their releases are
  // seen at the next full search.
  struct SizeHint {
    std::atomic<int32_t> cursor{0};
    std::atomic<uint32_t> trustedMisses{0};
  };
  static constexpr uint32_t kHintedSizes = 64;  // 4 to 256 bytes
  // The hint of a rounded size, or null for sizes that get none.
  SizeHint* HintFor(uint32_t rounded);

  std::array<SizeHint, kHintedSizes> hints_;
  SharedRegion* segment_ = nullptr;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHM_PAGEMEMORYMANAGER_H
