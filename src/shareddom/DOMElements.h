// The operations on one element of the shared DOM tree: reading attributes,
// replacing a key's value, finding, creating and deleting children.
//
// Lists change only by one compare-and-swap or exchange on one link word;
// removed nodes are unlinked, then marked, and stay readable until their last
// handle goes. A walker that meets a marked node yields and starts again from
// the head. The callers hold the lock of the section whose children or whose
// keys' values they touch, so the writers of one list run one at a time.
// The strings and nodes come from the process's SharedServices.
#ifndef SETTINGSTORE_SHAREDDOM_DOMELEMENTS_H
#define SETTINGSTORE_SHAREDDOM_DOMELEMENTS_H

#include <cstdint>
#include <vector>

#include "shareddom/ChildIndex.h"
#include "shareddom/NodeRef.h"
#include "shareddom/SharedServices.h"

namespace storage {

class ListWalk;

class DOMElement {
 public:
  // A view of the element a handle designates; the handle must outlive it.
  explicit DOMElement(NodeRef& element) : element_(element) {}

  // The attribute's value SID, kNoSid when there is none; a pass that meets
  // a marked node is repeated.
  uint32_t GetAttribute(uint32_t nameSid);
  // The values of several attributes in one pass; kNoSid for those missing.
  void GetAttributes(const uint32_t* nameSids, uint32_t* valueSids, size_t count);
  // Puts the chain behind the "name" attribute in place of the chain there;
  // on success `chain` holds the old chain (or the end).
  bool SwapAttributes(NodeRef& chain);
  // A key's "type", "size" and "value" attribute nodes, linked and not yet
  // anybody's: made before the section's lock is taken, so that readers wait
  // only for the swap. On failure the nodes made are given back.
  static NodeRef NewValueChain(uint32_t typeSid, uint32_t sizeSid, uint32_t valueSid);
  // Puts such a chain in place of the key's value attributes in one step;
  // `chain` then holds the old one (RetiredChain gives it back).
  void SetAttributes(NodeRef& chain);
  // The child of this kind and name; OpenException -2 when there is none.
  NodeRef FindElement(uint32_t kindSid, const StringAutoRelease& name);
  // A key's "type", "size" and "value" SIDs.
  struct FirstValue {
    uint32_t type;
    uint32_t size;
    uint32_t value;
  };
  // The child of this kind and name, appended when there is none; a new
  // child gets the first value, when one is given, before it is linked.
  NodeRef CreateElement(uint32_t kindSid, const StringAutoRelease& name, bool& created,
                        const FirstValue* value = nullptr);
  // Detaches the element's attributes and marks it and them.
  static void MarkToDelete(NodeRef element);
  void UnlinkFirstChild();
  void UnlinkNext();
  bool TryDeleteElement(uint32_t kindSid, uint32_t nameSid);
  bool DeleteElement(uint32_t kindSid, const StringAutoRelease& name);
  // The name SIDs of the children of this kind, in list order; a marked node
  // on the way throws MarkToDeleteException.
  std::vector<uint32_t> ChildNames(uint32_t kindSid);

 private:
  // One pass over the children looking for a kind and name: complete unless
  // it met a marked node; `found` the first match or the end; `last` the
  // last child seen, where an append may start.
  struct SearchPass {
    bool complete;
    uint32_t found;
    uint32_t last;
  };
  // `seen` gets every child the pass met.
  SearchPass SearchChildren(ListWalk& walk, uint32_t kindSid, uint32_t nameSid,
                            std::vector<ChildIndex::Child>& seen);
  // What the process's index knows while the list is unchanged (the child,
  // or that there is none and where the list ends), or else a search, whose
  // children the index then remembers.
  SearchPass FindChild(ListWalk& walk, uint32_t kindSid, uint32_t nameSid);
  // Moves the list's change count, before every link or unlink of a child;
  // returns the count it moved from (null when the node has no record).
  uint32_t CountListChange();
  // Links the new child behind the list's last node, looking for it from
  // `from` (the head when null); false when the pass met a change. `changes`
  // gets the count that the link moved on.
  bool AppendChild(ListWalk& walk, uint32_t from, uint32_t newChild, uint32_t& changes);

  NodeRef& element_;
};

// Marks, when its scope ends, every node of the attribute chain that the
// handle holds then: the old value after a swap, the new one after a failure.
// Declared before the section's lock, it runs after the lock is given back:
// no reader can reach a chain once the swap is done or when it never was.
class RetiredChain {
 public:
  explicit RetiredChain(NodeRef& chain) : chain_(chain) {}
  ~RetiredChain();
  RetiredChain(const RetiredChain&) = delete;
  RetiredChain& operator=(const RetiredChain&) = delete;

 private:
  NodeRef& chain_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_DOMELEMENTS_H
