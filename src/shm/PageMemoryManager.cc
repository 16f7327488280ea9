#include "shm/PageMemoryManager.h"

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

#include "base/Exceptions.h"
#include "base/Logger.h"
#include "platform/Platform.h"
#include "shm/Messages.h"
#include "shm/OwnerLock.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shm::kPageMemoryManagerFile;

// Words of the area header, as indexes of 32-bit words.
constexpr size_t kVersionWord = 0;
constexpr size_t kCarvedWord = 1;
constexpr size_t kEntriesWord = 2;
constexpr size_t kHiveLockWord = 3;
constexpr uint32_t kTableStart = 20;

// Words of a descriptor.
constexpr uint32_t kDescriptorSize = 16;
constexpr size_t kOffsetWord = 0;
constexpr size_t kTagWord = 1;
constexpr size_t kBlockLockWord = 2;

constexpr uint32_t kVersion = 0x00010001;
// Every word of a fresh area, and so every word of a descriptor not yet written.
constexpr uint32_t kUnwritten = 0xCCCCCCCC;
constexpr uint8_t kFreshFill = 0xCC;
constexpr uint8_t kReleasedFill = 0xDD;
// Bytes kept free between the block table and the lowest block after a carve.
constexpr uint64_t kReserve = 160;

constexpr uint32_t kStateMask = 0xC0000000;
constexpr uint32_t kStateInUse = 0xC0000000;
constexpr uint32_t kStateFree = 0x40000000;
constexpr uint32_t kStateClaimed = 0x80000000;
constexpr uint32_t kValueMask = 0x3FFFFFFF;

// The tag records the size asked for as a signed 30-bit value: larger requests
// cannot be recorded. A request of exactly 0x0CCCCCCC bytes would make an
// in-use tag that reads like the fill of a descriptor still being carved.
constexpr uint32_t kLargestRequest = 0x1FFFFFFF;
constexpr uint32_t kUnrecordableRequest = kUnwritten & kValueMask;

constexpr const char* kNotFound = messages::shm::kReleasedBlockNotFound;

std::atomic_ref<uint32_t> Word(uint32_t* word) { return std::atomic_ref<uint32_t>(*word); }

uint32_t RoundUp(uint32_t size) { return (size + 3) & ~uint32_t{3}; }

// How many allocations of one size may skip a full hive after a search of
// it found no released block of that size.
constexpr uint32_t kTrustedMisses = 256;

// A block is handed out only once its tag says in use. A descriptor being
// carved is counted before its words are written, and its tag then still reads
// the fill, whose top bits also say "in use": it is not in use yet.
bool InUse(uint32_t tag) { return (tag & kStateMask) == kStateInUse && tag != kUnwritten; }

int32_t SizeOf(uint32_t tag) { return static_cast<int32_t>(tag << 2) >> 2; }

// The hive lock and the block locks are two words of the area each; the lock
// record is exactly those two words, so it is used in place.
owner::OwnerLock& LockAt(uint32_t* word) { return *reinterpret_cast<owner::OwnerLock*>(word); }

using LockGuard = owner::OwnerLockGuard<owner::OwnerLock>;

}  // namespace

PageMemoryManager::~PageMemoryManager() noexcept(false) {
  if (segment_ == nullptr) return;
  // A second exception while one unwinds would end the process.
  if (std::uncaught_exceptions() > 0) {
    logger::Error(messages::shm::kDestroyedWhileAttached);
    return;
  }
  STORAGE_ASSERT(false, kSourceFile, messages::shm::kPageMemoryManagerDestructor, nullptr);
}

void PageMemoryManager::Attach(SharedRegion* segment) {
  constexpr const char* kFunction = messages::shm::kPageMemoryManagerAttach;
  STORAGE_ASSERT(segment != nullptr && segment_ == nullptr, kSourceFile, kFunction, nullptr);
  const uint32_t size = segment->GetDataSize();
  if (size >= kMaxHiveSize) {
    char message[1024];
    std::snprintf(message, sizeof message, messages::shm::kMaximumHiveSize, static_cast<int>(kMaxHiveSize));
    STORAGE_ASSERT(false, kSourceFile, kFunction, message);
  }
  // Every header and descriptor word is reached through std::atomic_ref.
  const auto address = reinterpret_cast<uintptr_t>(segment->GetData());
  STORAGE_ASSERT(size >= kTableStart && size % 4 == 0 && address % 4 == 0, kSourceFile, kFunction, nullptr);
  segment_ = segment;
  try {
    Initialize();
  } catch (...) {
    segment_ = nullptr;
    throw;
  }
}

SharedRegion* PageMemoryManager::Detach() {
  STORAGE_ASSERT(segment_ != nullptr, kSourceFile, messages::shm::kPageMemoryManagerDetach, nullptr);
  SharedRegion* segment = segment_;
  segment_ = nullptr;
  return segment;
}

void PageMemoryManager::Initialize() {
  constexpr const char* kFunction = messages::shm::kPageMemoryManagerInitialize;
  STORAGE_ASSERT(segment_ != nullptr, kSourceFile, kFunction, nullptr);
  uint32_t* area = Words();
  // A new mapping is zero-filled. The fill makes every lock free and every
  // link null; word stores keep it sound even if a reader looks in early.
  if (Word(&area[kVersionWord]).load() == 0) {
    const uint32_t count = segment_->GetDataSize() / 4;
    for (uint32_t i = 0; i < count; ++i) Word(&area[i]).store(kUnwritten, std::memory_order_relaxed);
  }
  uint32_t version = kUnwritten;
  if (Word(&area[kVersionWord]).compare_exchange_strong(version, kVersion)) {
    Word(&area[kCarvedWord]).store(0);
    Word(&area[kEntriesWord]).store(0);
    return;
  }
  STORAGE_ASSERT(version == kVersion, kSourceFile, kFunction, messages::shm::kUnavailableVersion);
  // The counters only grow, carves are whole words, and a carve never lets
  // the table meet the blocks: counters that say otherwise come from a
  // damaged file, and trusting them would read and write outside the area.
  const uint64_t entries = static_cast<uint32_t>(this->Entries());
  const uint64_t carved = Word(&area[kCarvedWord]).load();
  const uint64_t size = segment_->GetDataSize();
  if (entries > size / kDescriptorSize || carved > size || carved % 4 != 0 ||
      kTableStart + entries * kDescriptorSize + carved > size) {
    throw InternalStructureException(kSourceFile, kFunction, __LINE__, messages::shm::kBlockTableDamaged);
  }
}

uint32_t PageMemoryManager::Allocate(uint32_t size) {
  const uint32_t requested = size == 0 ? 1 : size;
  // Such a request fits no hive, or its size could not be recorded.
  if (requested > kLargestRequest || requested == kUnrecordableRequest) return kNullOffset;
  const uint32_t rounded = RoundUp(requested);
  const uint32_t offset = AllocateAtUnmappedPart(rounded, requested);
  if (offset != kNullOffset) return offset;
  return AllocateAtMappedPart(rounded, requested);
}

bool PageMemoryManager::RoomFor(uint32_t rounded) {
  uint32_t* area = Words();
  const uint64_t carved = Word(&area[kCarvedWord]).load();
  const uint64_t table = kTableStart + uint64_t{kDescriptorSize} * static_cast<uint32_t>(Entries());
  return carved + rounded + table + kReserve + kDescriptorSize < segment_->GetDataSize();
}

bool PageMemoryManager::CanCarve(uint32_t size) {
  STORAGE_ASSERT(segment_ != nullptr, kSourceFile, messages::shm::kPageMemoryManagerCanCarve, nullptr);
  return RoomFor(RoundUp(size));
}

uint32_t PageMemoryManager::AllocateAtUnmappedPart(uint32_t rounded, uint32_t requested) {
  STORAGE_ASSERT(segment_ != nullptr, kSourceFile, messages::shm::kPageMemoryManagerAllocateUnmapped,
                 nullptr);
  uint32_t* area = Words();
  const uint64_t size = segment_->GetDataSize();
  // Both counters only grow: a hive that is full now stays full, and a full
  // hive is known without waiting for its lock.
  if (!RoomFor(rounded)) return kNullOffset;
  LockGuard guard(LockAt(&area[kHiveLockWord]));
  if (!RoomFor(rounded)) return kNullOffset;

  const uint32_t newCarved = Word(&area[kCarvedWord]).fetch_add(rounded) + rounded;
  const int32_t newEntries = static_cast<int32_t>(Word(&area[kEntriesWord]).fetch_add(1) + 1);
  if (newCarved + kTableStart + uint64_t{kDescriptorSize} * static_cast<uint32_t>(newEntries) + kReserve >=
      size) {
    throw BadAllocException(messages::shm::kAllocationNotAtomic);
  }
  const uint32_t offset = static_cast<uint32_t>(size) - newCarved;
  uint32_t* entry = Descriptor(newEntries - 1);
  Word(&entry[kOffsetWord]).store(offset);
  // The block lies below every block handed out so far and no tag names it
  // yet: nobody else can see these bytes, so a plain fill will do.
  std::memset(reinterpret_cast<uint8_t*>(area) + offset, kFreshFill, rounded);
  Word(&entry[kTagWord]).exchange(kStateInUse | requested);
  return offset;
}

uint32_t PageMemoryManager::AllocateAtMappedPart(uint32_t rounded, uint32_t requested) {
  STORAGE_ASSERT(segment_ != nullptr, kSourceFile, messages::shm::kPageMemoryManagerAllocateMapped,
                 nullptr);
  // A full hive is searched for every allocation that it cannot carve: the
  // hint spares most of those walks over its whole table.
  SizeHint* hint = HintFor(rounded);
  if (hint != nullptr) {
    uint32_t misses = hint->trustedMisses.load(std::memory_order_relaxed);
    while (misses > 0) {
      if (hint->trustedMisses.compare_exchange_weak(misses, misses - 1, std::memory_order_relaxed)) {
        return kNullOffset;
      }
    }
  }
  const uint32_t wanted = kStateFree | (rounded & kValueMask);
  const int32_t count = Entries();
  const int32_t start = hint == nullptr || count == 0
                            ? 0
                            : std::clamp(hint->cursor.load(std::memory_order_relaxed), 0, count - 1);
  for (int32_t step = 0; step < count; ++step) {
    const int32_t k = (start + step) % count;
    uint32_t* entry = Descriptor(k);
    auto tag = Word(&entry[kTagWord]);
    uint32_t expected = wanted;
    // The compare-and-swap decides between all threads that want this block.
    if (tag.load() != wanted ||
        !tag.compare_exchange_strong(expected, kStateClaimed | (platform::CurrentThreadId() & kValueMask))) {
      continue;
    }
    const uint32_t offset = Word(&entry[kOffsetWord]).load();
    // A damaged descriptor stays claimed, so that no later search hands it out.
    if (!LiesInside(offset, rounded)) {
      throw InternalStructureException(kSourceFile, messages::shm::kPageMemoryManagerAllocateMapped,
                                       __LINE__, messages::shm::kFreeBlockOutsideHive);
    }
    // The winning claim makes this thread the block's only user: no tag says
    // in use and Release refuses a claimed block, so a plain fill will do.
    std::memset(reinterpret_cast<uint8_t*>(Words()) + offset, kFreshFill, rounded);
    tag.exchange(kStateInUse | requested);
    if (hint != nullptr) hint->cursor.store(k, std::memory_order_relaxed);
    return offset;
  }
  if (hint != nullptr) hint->trustedMisses.store(kTrustedMisses, std::memory_order_relaxed);
  return kNullOffset;
}

PageMemoryManager::SizeHint* PageMemoryManager::HintFor(uint32_t rounded) {
  const uint32_t index = rounded / 4 - 1;
  return index < kHintedSizes ? &hints_[index] : nullptr;
}

void PageMemoryManager::Release(const uint32_t& offset) {
  constexpr const char* kFunction = messages::shm::kPageMemoryManagerRelease;
  STORAGE_ASSERT(segment_ != nullptr, kSourceFile, kFunction, nullptr);
  STORAGE_ASSERT(offset != kNullOffset, kSourceFile, kFunction, nullptr);
  uint32_t* entry = FindDescriptor(offset);
  if (entry == nullptr) throw BadAllocException(kNotFound);

  // The state is checked under the block lock, so two releases of one block
  // cannot both pass. Nothing else can take the tag out of "in use" while the
  // lock is held: a claim starts only from "free" and carving only from the
  // fill. A block that is free, being claimed or being carved is refused.
  LockGuard guard(LockAt(&entry[kBlockLockWord]));
  auto tag = Word(&entry[kTagWord]);
  const uint32_t current = tag.load();
  if (!InUse(current)) throw BadAllocException(kNotFound);
  const uint32_t rounded = RoundUp(static_cast<uint32_t>(SizeOf(current)));
  if (SizeHint* hint = HintFor(rounded)) {
    // The next search for this size starts at the block freed here.
    hint->trustedMisses.store(0, std::memory_order_relaxed);
    hint->cursor.store(static_cast<int32_t>((entry - Descriptor(0)) / (kDescriptorSize / 4)),
                       std::memory_order_relaxed);
  }
  // Until the exchange below the block still belongs to its releasing owner,
  // and the exchange publishes the fill to whoever claims the block next.
  std::memset(static_cast<uint8_t*>(GetPoint(offset)), kReleasedFill, rounded);
  tag.exchange(kStateFree | (rounded & kValueMask));
}

void* PageMemoryManager::GetPoint(const uint32_t& offset) {
  constexpr const char* kFunction = messages::shm::kPageMemoryManagerGetPoint;
  STORAGE_ASSERT(segment_ != nullptr, kSourceFile, kFunction, nullptr);
  // Offsets come from links in shared memory: one outside the area is damage.
  if (offset >= segment_->GetDataSize())
    throw InternalStructureException(kSourceFile, kFunction, __LINE__, nullptr);
  return static_cast<uint8_t*>(segment_->GetData()) + offset;
}

bool PageMemoryManager::Enumerate(MemoryBlockVisitor& enumerator, bool reverse) {
  STORAGE_ASSERT(segment_ != nullptr, kSourceFile, messages::shm::kPageMemoryManagerEnumerate, nullptr);
  if (reverse) {
    for (int32_t k = Entries() - 1; k >= 0; --k) {
      if (!Visit(enumerator, k)) return false;
    }
    return true;
  }
  return EnumerateFrom(enumerator, 0);
}

bool PageMemoryManager::EnumerateFrom(MemoryBlockVisitor& enumerator, int32_t first) {
  STORAGE_ASSERT(segment_ != nullptr, kSourceFile, messages::shm::kPageMemoryManagerEnumerateFrom, nullptr);
  int32_t k = std::max(first, 0);
  int32_t count = Entries();
  for (;;) {
    for (; k < count; ++k) {
      if (!Visit(enumerator, k)) return false;
    }
    // Blocks carved during the walk are visited too. The sequentially
    // consistent load is the full barrier before this second look.
    const int32_t grown = Entries();
    if (grown <= count) return true;
    count = grown;
  }
}

bool PageMemoryManager::Visit(MemoryBlockVisitor& enumerator, int32_t k) {
  uint32_t* entry = Descriptor(k);
  auto tag = Word(&entry[kTagWord]);
  const uint32_t seen = tag.load();
  if (!InUse(seen) || !enumerator.Wants(SizeOf(seen))) return true;
  // Holding the block lock keeps the block from being released under the
  // enumerator's feet.
  LockGuard guard(LockAt(&entry[kBlockLockWord]));
  const uint32_t current = tag.load();
  if (!InUse(current)) return true;
  // The offset is written before the tag turns in use, so it is set by now.
  const uint32_t offset = Word(&entry[kOffsetWord]).load();
  // Blocks start on word boundaries and end inside the area; a descriptor
  // that says otherwise is damage, not a block to hand out.
  if (!LiesInside(offset, static_cast<uint32_t>(SizeOf(current)))) {
    throw InternalStructureException(kSourceFile, messages::shm::kPageMemoryManagerEnumerate, __LINE__,
                                     messages::shm::kBlockOutsideHive);
  }
  return enumerator.MemoryBlock(offset, SizeOf(current));
}

bool PageMemoryManager::LiesInside(uint32_t offset, uint32_t size) {
  const uint32_t area = segment_->GetDataSize();
  return offset % 4 == 0 && offset < area && size <= area - offset;
}

int32_t PageMemoryManager::BlockSize(uint32_t offset) {
  uint32_t* entry = FindDescriptor(offset);
  if (entry == nullptr) return -1;
  const uint32_t tag = Word(&entry[kTagWord]).load();
  return InUse(tag) ? SizeOf(tag) : -1;
}

uint32_t* PageMemoryManager::FindDescriptor(uint32_t offset) {
  // Each carve puts its block below the one before and its descriptor after
  // it, so offsets fall as the table grows and a binary search finds the one.
  // Only a descriptor whose carve has not written its offset (or died before
  // it could) breaks the order; meeting one, look at every descriptor.
  const int32_t count = Entries();
  int32_t low = 0;
  int32_t high = count - 1;
  while (low <= high) {
    const int32_t middle = low + (high - low) / 2;
    uint32_t* entry = Descriptor(middle);
    const uint32_t found = Word(&entry[kOffsetWord]).load();
    if (found == offset) return entry;
    if (found == kUnwritten) break;
    if (found > offset) {
      low = middle + 1;
    } else {
      high = middle - 1;
    }
  }
  if (low > high) return nullptr;
  for (int32_t k = 0; k < count; ++k) {
    uint32_t* entry = Descriptor(k);
    if (Word(&entry[kOffsetWord]).load() == offset) return entry;
  }
  return nullptr;
}

uint32_t* PageMemoryManager::Descriptor(int32_t k) {
  return Words() + (kTableStart + kDescriptorSize * static_cast<uint32_t>(k)) / 4;
}

int32_t PageMemoryManager::Entries() { return static_cast<int32_t>(Word(&Words()[kEntriesWord]).load()); }

}  // namespace storage
