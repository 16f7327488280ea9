#include "shareddom/MemAccessController.h"

#include "base/Exceptions.h"
#include "base/ProcessValues.h"
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

}  // namespace

std::atomic<uint32_t> MemAccessController::lastGeneration_{0};

MemAccessController::MemAccessController(const char* name, ReleaseCallback release, void* context)
    : release_(release), context_(context) {
  pageManager_ = std::make_unique<PageManager>();
  MemoryConfigurator<MemAccessController> configurator(this, name, "");
  pageManager_->Initialize(&configurator);
  generation_ = lastGeneration_.fetch_add(1) + 1;
}

MemAccessController::~MemAccessController() { pageManager_.reset(); }

void MemAccessController::OnMemManagerInitialized() {
  MemoryEnumerator finder;
  pageManager_->Enumerate(finder, false);
  // A new block reads as a free list lock and an empty list.
  root_ = finder.Found().IsNull() ? pageManager_->Allocate(sizeof(AccessRoot)) : finder.Found();
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
    Traits(record).nodeLock.Lock(GetSpinCount());
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
