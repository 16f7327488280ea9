// An in-process handle on a node of the shared DOM. While it lives it holds
// one access reference on its node, counted across processes by the access
// controller, so that a node removed meanwhile is not freed under it: its
// words stay readable until the last handle on it goes.
#ifndef SETTINGSTORE_SHAREDDOM_NODEREF_H
#define SETTINGSTORE_SHAREDDOM_NODEREF_H

#include <optional>

#include "shareddom/DOMNode.h"
#include "shareddom/MemAccessController.h"
#include "shm/InitMemAddress.h"
#include "shm/PageManager.h"
#include "shm/SharedPointer.h"

namespace storage {

class NodeRef {
 public:
  // Takes an access reference on the node when the access controller exists;
  // the null address is the end of a list and holds none.
  NodeRef(PageManager* const* slot, const InitMemAddress& address, NodeKind kind);
  NodeRef(const NodeRef& other);
  NodeRef(NodeRef&& other) noexcept;
  NodeRef& operator=(const NodeRef& other);
  NodeRef& operator=(NodeRef&& other) noexcept;
  ~NodeRef();

  const InitMemAddress& Address() const { return pointer_.Address(); }
  // False once the storage this handle was taken in has been torn down: its
  // memory may be gone, so nothing may be read through it.
  bool IsCurrent() const;
  bool IsNull() const { return Address().IsNull(); }
  NodeKind Kind() const { return kind_; }

  // The node's words; the handle must be on a node of that kind.
  ElementNode& Element();
  AttributeNode& Attribute();

  bool IsMarked();
  void Mark();

  // The access record that counts this handle's reference; null when the
  // handle holds none (no access controller, or an earlier storage's).
  AccessTraits* Traits() const;

  // The nodes the links lead to; the end handle for a null link. Following a
  // link of a marked node throws MarkToDeleteException -6.
  NodeRef NextSibling();
  NodeRef FirstChild();
  NodeRef FirstAttribute();
  NodeRef NextAttribute();

 private:
  NodeRef(const SharedPointer& pointer, NodeKind kind);
  friend class NodeLock;
  friend class NodeReadLock;
  NodeRef Follow(std::atomic_ref<uint32_t> link, NodeKind kind);
  void Acquire();
  void Release() noexcept;

  SharedPointer pointer_;
  NodeKind kind_;
  // The address on which this handle holds its reference, or null, and the
  // traits record that counts it.
  InitMemAddress tracked_;
  InitMemAddress record_;
  // The access controller that counts the reference.
  uint32_t generation_ = 0;
};

// Holds a node's lock for the rest of the scope, through a handle on the
// node: its reference keeps the lock's record, so no lookup is needed.
class NodeLock {
 public:
  explicit NodeLock(const NodeRef& node);
  ~NodeLock();
  NodeLock(const NodeLock&) = delete;
  NodeLock& operator=(const NodeLock&) = delete;

 private:
  const NodeRef& node_;
  MemAccessController* controller_;
};

// Holds a node's lock for reading for the rest of the scope: shared with
// other readers through the reader table where it can be, else taken.
class NodeReadLock {
 public:
  explicit NodeReadLock(const NodeRef& node);
  ~NodeReadLock();
  NodeReadLock(const NodeReadLock&) = delete;
  NodeReadLock& operator=(const NodeReadLock&) = delete;

 private:
  MemAccessController* shared_ = nullptr;
  std::optional<NodeLock> exclusive_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_NODEREF_H
