// Gives every shared DOM node, in every process of the session, one shared
// record of access traits: a count of the handles that point at the node and
// the node's lock. The records live in a memory-only region of their own and
// are found by node address through a map that each process keeps in step
// with the list of records in shared memory.
#ifndef SETTINGSTORE_SHAREDDOM_MEMACCESSCONTROLLER_H
#define SETTINGSTORE_SHAREDDOM_MEMACCESSCONTROLLER_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <unordered_map>

#include "base/Mutex.h"
#include "base/ProcessValues.h"
#include "shareddom/AccessTraits.h"
#include "shareddom/Messages.h"
#include "shm/InitMemAddress.h"
#include "shm/PageManager.h"

namespace storage {

// The kinds of node that the release callback is told about.
enum NodeKind : int { kElementNode = 1, kAttributeNode = 2 };

class MemAccessController {
 public:
  // Called when the last handle on a node lets go of it.
  using ReleaseCallback = void (*)(const InitMemAddress& node, int kind, void* context);

  // Opens or creates the traits region of segments named `name`...; the
  // release callback gets `context` with every node it is told about.
  explicit MemAccessController(const char* name, ReleaseCallback release = nullptr, void* context = nullptr);
  ~MemAccessController();
  MemAccessController(const MemAccessController&) = delete;
  MemAccessController& operator=(const MemAccessController&) = delete;

  // Tells apart the controllers a process makes one after the other, so that
  // a handle left over from an earlier storage never counts in a later one.
  uint32_t Generation() const { return generation_; }

  // Finds or makes the root block; the page manager calls it once the
  // hives are loaded, one process at a time.
  void OnMemManagerInitialized();

  // The address of the key's traits record, with one more reference counted
  // on it. A record is made on the first call for a key in the session.
  // The null address names no node and is refused (AssertException).
  InitMemAddress TraitsOf(const InitMemAddress& key);
  // Appends a record without a key to the list; the list lock must be held.
  InitMemAddress CreateNewTraits();

  // The record at an address that TraitsOf returned.
  AccessTraits& Traits(const InitMemAddress& address) { return *Resolve<AccessTraits>(address); }
  AccessRoot& RootRecord() { return *Resolve<AccessRoot>(root_); }

  // What a node handle does when it lets go: gives back its reference and,
  // when that was the last one, hands the node to the release callback.
  void ReleaseNode(const InitMemAddress& node, NodeKind kind);
  // The same, for a handle that knows its node's record.
  void ReleaseTraits(const InitMemAddress& node, const InitMemAddress& record, NodeKind kind);

  // Take and release the node lock of a node; the null address does
  // nothing. The lock is recursive and is taken over from a holder thread
  // that has ended.
  void LockNode(const InitMemAddress& node);
  void UnlockNode(const InitMemAddress& node);
  // The same through a record that the caller holds a reference on: no
  // lookup, no reference of its own.
  void LockTraits(const InitMemAddress& record) { LockExclusive(record); }
  void UnlockTraits(const InitMemAddress& record) { Traits(record).nodeLock.Unlock(); }

  // Reads share a node lock through the reader table: the calling thread's
  // slot names the record while no writer holds the lock, so readers never
  // wait for one another and a writer waits only for the reads that began
  // before it took the lock. False when this thread cannot read so (no slot
  // left, a read already under way here, or it holds the lock itself): the
  // caller then takes the lock.
  bool EnterRead(const InitMemAddress& record);
  void LeaveRead();

 private:
  // TraitsOf, telling also whether the record had no references before.
  InitMemAddress AcquireTraits(const InitMemAddress& key, bool& wasIdle);
  // One more reference on a keyed record, reviving it when idle (wasIdle).
  InitMemAddress TakeReference(const InitMemAddress& address, bool& wasIdle);
  // Enters the keyed records appended since the last refresh into the map;
  // the list lock must be held.
  void RefreshMap();
  // Takes the node lock, then waits until no reader slot names the record.
  void LockExclusive(const InitMemAddress& record);
  void WaitForReaders(const InitMemAddress& record);
  // The calling thread's reader slot in this region, claimed on first use;
  // null when every slot is held by a live thread.
  ReaderSlot* OwnReaderSlot();
  ReaderSlot* ClaimReaderSlot();
  // Frees a slot of this process: at thread end and when the region is left.
  void FreeReaderSlot(uint32_t index);
  friend struct ReaderSeat;

  // Gives back a reference that lockNode or unlockNode took. Unless the
  // record was revived for it, a last reference is a handle's last.
  void GiveBack(const InitMemAddress& node, const InitMemAddress& record, bool wasIdle);

  template <class Record>
  Record* Resolve(const InitMemAddress& address) const {
    if (!pageManager_) throw std::runtime_error(messages::shareddom::kMemoryManagerNull);
    return static_cast<Record*>(pageManager_->GetPoint(address));
  }

  static std::atomic<uint32_t> lastGeneration_;

  std::unique_ptr<PageManager> pageManager_;
  ReleaseCallback release_;
  void* context_;
  uint32_t generation_ = 0;
  // Guards the map and last_; recursive, and taken before the list lock.
  threads::Mutex mutex_;
  // Key (the node address read as a signed number) to its record's address.
  std::unordered_map<int32_t, InitMemAddress> map_;
  // The last keyed record of the list that this process has entered.
  InitMemAddress last_;
  InitMemAddress root_;
};

// Holds a node's lock for a scope, exceptions included.
class NodeLockGuard {
 public:
  NodeLockGuard(MemAccessController& controller, const InitMemAddress& node) : controller_(controller), node_(node) {
    controller_.LockNode(node_);
  }
  ~NodeLockGuard() { controller_.UnlockNode(node_); }
  NodeLockGuard(const NodeLockGuard&) = delete;
  NodeLockGuard& operator=(const NodeLockGuard&) = delete;

 private:
  MemAccessController& controller_;
  InitMemAddress node_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_MEMACCESSCONTROLLER_H
