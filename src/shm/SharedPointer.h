// An in-process handle on a block in shared memory: the slot that holds the
// owning page manager, the block's address, and the block's pointer in this
// process, resolved on first use.
#ifndef SETTINGSTORE_SHM_SHAREDPOINTER_H
#define SETTINGSTORE_SHM_SHAREDPOINTER_H

#include <stdexcept>

#include "shm/InitMemAddress.h"
#include "shm/Messages.h"
#include "shm/PageManager.h"

namespace storage {

class SharedPointer {
 public:
  // A handle without a page manager; it must not be used.
  SharedPointer() = default;
  // The slot is read when the handle is first resolved, so the page manager
  // may be stored in it after the handle is made.
  SharedPointer(PageManager* const* slot, const InitMemAddress& address) : slot_(slot), address_(address) {
    if (slot_ == nullptr) throw std::runtime_error(messages::shm::kMemoryManagerNull);
  }

  const InitMemAddress& Address() const { return address_; }

  // Points the handle at another block.
  void Assign(const InitMemAddress& address) {
    if (slot_ == nullptr) throw std::logic_error(messages::shm::kMemoryManagerNotApplied);
    address_ = address;
    pointer_ = nullptr;
  }

  // The block in this process; null for the null address.
  void* get() {
    if (slot_ == nullptr || *slot_ == nullptr) throw std::runtime_error(messages::shm::kMemoryManagerNull);
    if (pointer_ == nullptr) pointer_ = (*slot_)->GetPoint(address_);
    return pointer_;
  }
  template <class T>
  T* As() {
    return static_cast<T*>(get());
  }

 private:
  PageManager* const* slot_ = nullptr;
  InitMemAddress address_;
  void* pointer_ = nullptr;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHM_SHAREDPOINTER_H
