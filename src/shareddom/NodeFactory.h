// Owns the hives of the shared DOM tree and makes its nodes. The first process to open a storage makes the root holder and the
// root element, later ones find the root holder again as the only 4-byte block.
#ifndef SETTINGSTORE_SHAREDDOM_NODEFACTORY_H
#define SETTINGSTORE_SHAREDDOM_NODEFACTORY_H

#include <atomic>
#include <cstdint>
#include <memory>

#include "shareddom/ChildIndex.h"
#include "shareddom/NodeRef.h"
#include "shm/InitMemAddress.h"
#include "shm/PageManager.h"

namespace storage {

class NodeFactory {
 public:
  static constexpr uint32_t kRootHolderSize = 4;
  static constexpr uint32_t kElementSize = 16;
  static constexpr uint32_t kAttributeSize = 12;

  // Loads or creates the tree's hives, named after namePrefix and kept in
  // files after filePrefix (empty: memory only).
  NodeFactory(const char* namePrefix, const char* filePrefix);
  ~NodeFactory();
  NodeFactory(const NodeFactory&) = delete;
  NodeFactory& operator=(const NodeFactory&) = delete;

  NodeRef Root();
  // A new, unlinked element of this kind, without children or attributes.
  NodeRef NewElement(uint32_t kindSid);
  // A new, unlinked attribute node.
  NodeRef NewBareAttribute(uint32_t nameSid, uint32_t valueSid);
  // Gives a marked node's block back; an unmarked node is never freed.
  void FreeNode(const InitMemAddress& address);

  // Finds or makes the root; the page manager calls it once its hives are
  // loaded, one process at a time.
  void OnMemManagerInitialized();

  // What the last handle's release does to a node: frees it when marked.
  // Returns the SID an attribute's value word held a reference on, which the
  // caller gives back; kNull when there is none.
  uint32_t Reclaim(const InitMemAddress& node, int kind);

  PageManager& Pages() { return *pageManager_; }
  // The slot through which node handles reach the hives.
  PageManager* const* PagesSlot() const { return &pageManager_; }

  // The children this process found in the tree's lists lately.
  ChildIndex& Children() { return children_; }

 private:
  std::unique_ptr<PageManager> ownedPageManager_;
  PageManager* pageManager_ = nullptr;
  InitMemAddress rootHolder_;
  ChildIndex children_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_NODEFACTORY_H
