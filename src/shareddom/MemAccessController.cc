#include "shareddom/MemAccessController.h"

#include <algorithm>
#include <mutex>

#include "base/Exceptions.h"
#include "base/ProcessValues.h"
#include "base/ThreadLocal.h"
#include "shareddom/Messages.h"
#include "shm/MemoryConfigurator.h"
#include "shm/OwnerLock.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shareddom::kMemAccessControllerFile;
constexpr uint32_t kNull = InitMemAddress::kNull;
constexpr uint32_t kOneReference = AccessTraits::kNoReferences + 1;

// Finds the root block: the region holds nothing else of its size.
class MemoryEnumerator : public MemoryBlockVisitor {
 public:
  bool MemoryBlock(const InitMemAddress& address, int32_t size) override {
    if (size != static_cast<int32_t>(sizeof(AccessRoot))) return true;
    found_ = address;
    return false;
  }
  const InitMemAddress& Found() const { return found_; }

 private:
  InitMemAddress found_;
};

// The controller whose reader slots the ending threads of this process give
// back; guarded by its mutex, which is never destroyed, as threads may end
// after static objects are.
std::mutex& LiveMutex() {
  static auto* mutex = new std::mutex();
  return *mutex;
}
MemAccessController* g_live = nullptr;

bool HeldElsewhere(ReaderSlot& slot, uint32_t me) {
  const uint32_t thread = slot.ThreadWord().load();
  return thread != kNull && thread != me;
}

// Whether the thread that holds a slot has ended (its process was killed):
// a thread id that no longer names a thread of the slot's process.
bool HolderEnded(ReaderSlot& slot) {
  const uint32_t thread = slot.ThreadWord().load();
  const uint32_t process = slot.ProcessWord().load();
  return thread != kNull && process != kNull && owner::GlobalRegistrator::ThreadProcess(thread) != process;
}

}  // namespace

// The calling thread's slot in the live controller's table, given back when
// the thread ends.
struct ReaderSeat {
  uint32_t generation = 0;
  uint32_t index = 0;
  ~ReaderSeat() {
    if (generation == 0) return;
    std::lock_guard<std::mutex> guard(LiveMutex());
    if (g_live != nullptr && g_live->Generation() == generation) g_live->FreeReaderSlot(index);
  }
};

std::atomic<uint32_t> MemAccessController::lastGeneration_{0};

MemAccessController::MemAccessController(const char* name, ReleaseCallback release, void* context)
    : release_(release), context_(context) {
  pageManager_ = std::make_unique<PageManager>();
  MemoryConfigurator<MemAccessController> configurator(this, name, "");
  pageManager_->Initialize(&configurator);
  generation_ = lastGeneration_.fetch_add(1) + 1;
  std::lock_guard<std::mutex> guard(LiveMutex());
  g_live = this;
}

MemAccessController::~MemAccessController() {
  {
    std::lock_guard<std::mutex> guard(LiveMutex());
    if (g_live == this) g_live = nullptr;
  }
  // No thread of this process reads any more: its slots go back at once.
  const uint32_t process = platform::CurrentProcessId();
  for (uint32_t index = 0; index < AccessRoot::kReaderSlots; ++index) {
    if (RootRecord().readers[index].ProcessWord().load() == process) FreeReaderSlot(index);
  }
  pageManager_.reset();
}

void MemAccessController::OnMemManagerInitialized() {
  MemoryEnumerator finder;
  pageManager_->Enumerate(finder, false);
  // A new block reads as a free list lock and an empty list.
  if (finder.Found().IsNull()) {
    root_ = pageManager_->Allocate(sizeof(AccessRoot));
    RootRecord().SlotsUsedWord().store(0);
    std::atomic_ref<uint32_t>(RootRecord().changes).store(0);
  } else {
    root_ = finder.Found();
  }
  last_ = InitMemAddress(RootRecord().WordOfHead().load());
}

InitMemAddress MemAccessController::TraitsOf(const InitMemAddress& key) {
  bool wasIdle = false;
  return AcquireTraits(key, wasIdle);
}

InitMemAddress MemAccessController::AcquireTraits(const InitMemAddress& key, bool& wasIdle) {
  constexpr const char* kFunction = messages::shareddom::kGetTraits;
  // A record keyed with the null word could never be found again.
  STORAGE_ASSERT(!key.IsNull(), kSourceFile, kFunction, messages::shareddom::kTraitsOfNull);
  const auto mapKey = static_cast<int32_t>(key.Value());
  threads::MutexGuard guard(mutex_);
  wasIdle = false;
  // A record keeps its key for the life of the region, so one this process
  // knows is revived in place; only a new key needs the list lock.
  if (const auto known = map_.find(mapKey); known != map_.end()) return TakeReference(known->second, wasIdle);

  owner::OwnerLockGuard<owner::OwnerLock> listGuard(RootRecord().listLock);
  RefreshMap();
  if (const auto known = map_.find(mapKey); known != map_.end()) return TakeReference(known->second, wasIdle);

  const InitMemAddress address = CreateNewTraits();
  AccessTraits& record = Traits(address);
  uint32_t unkeyed = kNull;
  STORAGE_ASSERT(record.KeyWord().compare_exchange_strong(unkeyed, key.Value()), kSourceFile, kFunction,
                 nullptr);
  record.ReferencesWord().exchange(kOneReference);
  map_[mapKey] = address;
  wasIdle = true;
  return address;
}

InitMemAddress MemAccessController::TakeReference(const InitMemAddress& address, bool& wasIdle) {
  AccessTraits& record = Traits(address);
  // The loop covers handles that come and go meanwhile.
  for (;;) {
    if (record.AddReference()) return address;
    uint32_t idle = AccessTraits::kNoReferences;
    if (record.ReferencesWord().compare_exchange_strong(idle, kOneReference)) {
      wasIdle = true;
      return address;
    }
  }
}

void MemAccessController::RefreshMap() {
  threads::MutexGuard guard(mutex_);
  if (last_.IsNull()) {
    last_ = InitMemAddress(RootRecord().WordOfHead().load());
    if (last_.IsNull()) return;
  }
  // Records not keyed yet are stepped over without moving last_, so that a
  // later refresh meets them again.
  for (InitMemAddress at = last_; !at.IsNull();) {
    AccessTraits& record = Traits(at);
    const uint32_t key = record.KeyWord().load();
    if (key != kNull) {
      map_[static_cast<int32_t>(key)] = at;
      last_ = at;
    }
    at = InitMemAddress(record.NextWord().load());
  }
}

InitMemAddress MemAccessController::CreateNewTraits() {
  constexpr const char* kFunction = messages::shareddom::kCreateNewTraits;
  const InitMemAddress address = pageManager_->Allocate(sizeof(AccessTraits));
  STORAGE_ASSERT(address != last_, kSourceFile, kFunction,
                 messages::shareddom::kTraitsEqualLast);

  uint32_t head = kNull;
  if (RootRecord().WordOfHead().compare_exchange_strong(head, address.Value())) {
    if (last_.IsNull()) last_ = address;
    return address;
  }
  STORAGE_ASSERT(address != last_, kSourceFile, kFunction,
                 messages::shareddom::kTraitsInUse);
  threads::MutexGuard guard(mutex_);
  if (last_.IsNull()) last_ = InitMemAddress(head);
  for (InitMemAddress at = last_; at != address;) {
    uint32_t next = kNull;
    if (Traits(at).NextWord().compare_exchange_strong(next, address.Value())) return address;
    at = InitMemAddress(next);
  }
  return address;
}

void MemAccessController::ReleaseNode(const InitMemAddress& node, NodeKind kind) {
  if (node.IsNull()) return;
  const InitMemAddress record = TraitsOf(node);
  bool last = false;
  Traits(record).DropReference(last);  // the lookup's own reference
  ReleaseTraits(node, record, kind);
}

void MemAccessController::ReleaseTraits(const InitMemAddress& node, const InitMemAddress& record,
                                        NodeKind kind) {
  bool last = false;
  if (Traits(record).DropReference(last) && last && release_ != nullptr) release_(node, kind, context_);
}

void MemAccessController::GiveBack(const InitMemAddress& node, const InitMemAddress& record, bool wasIdle) {
  bool last = false;
  // A record revived for the lock had no handle to let go; any other record
  // that falls to no references here lost its last handle meanwhile, and the
  // node must be handed on as that handle would have done.
  if (Traits(record).DropReference(last) && last && !wasIdle && release_ != nullptr)
    release_(node, kElementNode, context_);
}

void MemAccessController::LockNode(const InitMemAddress& node) {
  if (node.IsNull()) return;
  bool wasIdle = false;
  const InitMemAddress record = AcquireTraits(node, wasIdle);
  try {
    LockExclusive(record);
  } catch (...) {
    GiveBack(node, record, wasIdle);
    throw;
  }
  GiveBack(node, record, wasIdle);
}

void MemAccessController::UnlockNode(const InitMemAddress& node) {
  if (node.IsNull()) return;
  bool wasIdle = false;
  const InitMemAddress record = AcquireTraits(node, wasIdle);
  Traits(record).nodeLock.Unlock();
  GiveBack(node, record, wasIdle);
}

}  // namespace storage

namespace storage {

void MemAccessController::LockExclusive(const InitMemAddress& record) {
  owner::OwnerLock& lock = Traits(record).nodeLock;
  lock.Lock(GetSpinCount());
  try {
    WaitForReaders(record);
  } catch (...) {
    lock.Unlock();
    throw;
  }
}

void MemAccessController::WaitForReaders(const InitMemAddress& record) {
  constexpr uint64_t kCheckAfterMs = 20;
  AccessRoot& root = RootRecord();
  const uint32_t me = platform::CurrentThreadId();
  const uint32_t used = std::min(root.SlotsUsedWord().load(), AccessRoot::kReaderSlots);
  for (uint32_t index = 0; index < used; ++index) {
    ReaderSlot& slot = root.readers[index];
    uint64_t since = 0;
    for (uint32_t waits = 0; slot.SectionWord().load() == record.Value() && HeldElsewhere(slot, me); ++waits) {
      // A read lasts microseconds; one that outlives the owner lock's spin
      // phase may belong to a killed process, whose slot is cleared.
      if (waits == 0) since = platform::TickCountMs();
      if (waits % 64 == 63 && platform::TickCountMs() - since >= kCheckAfterMs) {
        uint32_t reading = record.Value();
        if (HolderEnded(slot)) slot.SectionWord().compare_exchange_strong(reading, kNull);
        since = platform::TickCountMs();
      }
      platform::YieldThread();
    }
  }
}

bool MemAccessController::EnterRead(const InitMemAddress& record) {
  ReaderSlot* slot = OwnReaderSlot();
  if (slot == nullptr || slot->SectionWord().load(std::memory_order_relaxed) != kNull) return false;
  owner::OwnerLock& lock = Traits(record).nodeLock;
  const uint32_t me = platform::CurrentThreadId();
  for (uint32_t waits = 0;;) {
    const uint32_t holder = lock.Owner();
    if (holder == me) return false;
    if (holder == owner::OwnerLock::kFreeValue) {
      // Announced, then checked, as the writer locks, then checks: one of
      // the two always sees the other.
      slot->SectionWord().store(record.Value());
      if (lock.Owner() == owner::OwnerLock::kFreeValue) return true;
      slot->SectionWord().store(kNull);
    }
    // A writer holds the section: let it finish without queueing on its
    // lock, unless it takes long; the lock then takes it over if it ended.
    if (++waits < 64) {
      platform::YieldThread();
    } else {
      lock.Lock(GetSpinCount());
      lock.Unlock();
      waits = 0;
    }
  }
}

void MemAccessController::LeaveRead() {
  ReaderSeat& seat = utils::ThreadLocal<ReaderSeat>();
  RootRecord().readers[seat.index].SectionWord().store(kNull, std::memory_order_release);
}

ReaderSlot* MemAccessController::OwnReaderSlot() {
  ReaderSeat& seat = utils::ThreadLocal<ReaderSeat>();
  if (seat.generation == generation_) return &RootRecord().readers[seat.index];
  ReaderSlot* slot = ClaimReaderSlot();
  if (slot != nullptr) {
    seat.generation = generation_;
    seat.index = static_cast<uint32_t>(slot - RootRecord().readers);
  }
  return slot;
}

ReaderSlot* MemAccessController::ClaimReaderSlot() {
  AccessRoot& root = RootRecord();
  const uint32_t me = platform::CurrentThreadId();
  const auto take = [&](uint32_t index) {
    ReaderSlot& slot = root.readers[index];
    slot.SectionWord().store(kNull);
    slot.ProcessWord().store(platform::CurrentProcessId());
    uint32_t used = root.SlotsUsedWord().load();
    while (used < index + 1 && !root.SlotsUsedWord().compare_exchange_weak(used, index + 1)) {
    }
    return &slot;
  };
  for (uint32_t index = 0; index < AccessRoot::kReaderSlots; ++index) {
    uint32_t free = kNull;
    if (root.readers[index].ThreadWord().compare_exchange_strong(free, me)) return take(index);
  }
  // Every slot is held: those of threads that ended without giving theirs
  // back (killed processes) are taken over.
  for (uint32_t index = 0; index < AccessRoot::kReaderSlots; ++index) {
    ReaderSlot& slot = root.readers[index];
    uint32_t holder = slot.ThreadWord().load();
    if (HolderEnded(slot) && slot.ThreadWord().compare_exchange_strong(holder, me)) return take(index);
  }
  return nullptr;
}

void MemAccessController::FreeReaderSlot(uint32_t index) {
  ReaderSlot& slot = RootRecord().readers[index];
  slot.SectionWord().store(kNull);
  slot.ProcessWord().store(kNull);
  slot.ThreadWord().store(kNull);
}

}  // namespace storage
