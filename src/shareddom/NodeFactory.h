// Owns the hives of the shared DOM tree and makes its nodes. One factory per
// process; the first process to open a storage makes the root holder and the
// root element, later ones find the root holder again as the only 4-byte block.
#ifndef SETTINGSTORE_SHAREDSTORAGE_NODEFACTORY_H
#define SETTINGSTORE_SHAREDSTORAGE_NODEFACTORY_H

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
  // files after filePrefix (empty: memory only). Throws std::logic_error when
  // the process has a factory already; that one stays in place.
  NodeFactory(const char* namePrefix, const char* filePrefix);
  ~NodeFactory();
  NodeFactory(const NodeFactory&) = delete;
  NodeFactory& operator=(const NodeFactory&) = delete;

  // The process's factory, or null while there is none.
  static NodeFactory* GetInstance() { return instance_.load(std::memory_order_acquire); }

  NodeRef getRoot();
  // A new, unlinked element of this kind, without children or attributes.
  NodeRef newElement(uint32_t kindSid);
  // A new, unlinked attribute node.
  NodeRef newAttribute(uint32_t nameSid, uint32_t valueSid);
  // Gives a marked node's block back; an unmarked node is never freed.
  void freeNode(const InitMemAddress& address);

  // Finds or makes the root; the page manager calls it once its hives are
  // loaded, one process at a time.
  void onMemManagerInitialized();

  // The access controller's release callback: frees a marked node when its
  // last handle goes, and drops the reference that an attribute's value word
  // held on its string.
  static void onNodeReleased(const InitMemAddress& node, int kind, void* context);

  PageManager& pageManager() { return *pageManager_; }
  // The slot through which node handles reach the hives.
  PageManager* const* pageManagerSlot() const { return &pageManager_; }

  // The children this process found in the tree's lists lately.
  ChildIndex& children() { return children_; }

 private:
  static std::atomic<bool> claimed_;
  static std::atomic<NodeFactory*> instance_;

  std::unique_ptr<PageManager> ownedPageManager_;
  PageManager* pageManager_ = nullptr;
  InitMemAddress rootHolder_;
  ChildIndex children_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDSTORAGE_NODEFACTORY_H
