#include "shareddom/NodeFactory.h"

#include "base/Exceptions.h"
#include "shareddom/Messages.h"
#include "shm/MemoryConfigurator.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shareddom::kNodeFactoryFile;
constexpr uint32_t kNull = InitMemAddress::kNull;
// Word 1 of a node whose block is being given back: a released block reads
// so anyway, and a second last release of the same node must not free twice.
constexpr uint32_t kFreedWord = 0xDDDDDDDD;

// Stops at the first block of the root holder's size.
class MemoryEnumerator : public MemoryBlockVisitor {
 public:
  bool MemoryBlock(const InitMemAddress& address, int32_t size) override {
    if (size != static_cast<int32_t>(NodeFactory::kRootHolderSize)) return true;
    found_ = address;
    return false;
  }
  const InitMemAddress& Found() const { return found_; }

 private:
  InitMemAddress found_;
};

// Publishes a new node's words before its address is linked anywhere: the
// sequentially consistent exchange is a full barrier.
void TerminateLink(std::atomic_ref<uint32_t> link) { link.exchange(kNull, std::memory_order_seq_cst); }

}  // namespace

NodeFactory::NodeFactory(const char* namePrefix, const char* filePrefix)
    : ownedPageManager_(std::make_unique<PageManager>()), pageManager_(ownedPageManager_.get()) {
  MemoryConfigurator<NodeFactory> configurator(this, namePrefix, filePrefix);
  pageManager_->Initialize(&configurator);
}

NodeFactory::~NodeFactory() {
  pageManager_ = nullptr;
  ownedPageManager_.reset();
}

void NodeFactory::OnMemManagerInitialized() {
  MemoryEnumerator finder;
  pageManager_->Enumerate(finder, true);
  if (!finder.Found().IsNull()) {
    rootHolder_ = finder.Found();
    return;
  }
  rootHolder_ = pageManager_->Allocate(kRootHolderSize);
  const InitMemAddress rootElement = pageManager_->Allocate(kElementSize);
  uint32_t expected = kNull;
  const bool linked = static_cast<RootHolder*>(pageManager_->GetPoint(rootHolder_))
                          ->RootWord()
                          .compare_exchange_strong(expected, rootElement.Value());
  Root().Element().KindWord().exchange(0);
  STORAGE_ASSERT(linked, kSourceFile, messages::shareddom::kOnMemManagerInitialized,
                 messages::shareddom::kRootElementUnchanged);
}

NodeRef NodeFactory::Root() {
  STORAGE_ASSERT(!rootHolder_.IsNull(), kSourceFile, messages::shareddom::kNodeFactoryGetRoot,
                 messages::shareddom::kNoRootHolder);
  auto* holder = static_cast<RootHolder*>(pageManager_->GetPoint(rootHolder_));
  return NodeRef(PagesSlot(), InitMemAddress(holder->RootWord().load()), kElementNode);
}

NodeRef NodeFactory::NewElement(uint32_t kindSid) {
  NodeRef node(PagesSlot(), pageManager_->Allocate(kElementSize), kElementNode);
  ElementNode& element = node.Element();
  element.KindWord().exchange(kindSid);
  TerminateLink(element.NextSiblingWord());
  return node;
}

NodeRef NodeFactory::NewBareAttribute(uint32_t nameSid, uint32_t valueSid) {
  NodeRef node(PagesSlot(), pageManager_->Allocate(kAttributeSize), kAttributeNode);
  AttributeNode& attribute = node.Attribute();
  attribute.NameWord().exchange(nameSid);
  attribute.ValueWord().exchange(valueSid);
  TerminateLink(attribute.NextAttributeWord());
  return node;
}

void NodeFactory::FreeNode(const InitMemAddress& address) {
  if (address.IsNull()) return;
  // Word 1 sits at the same place in both kinds of node.
  auto* node = static_cast<ElementNode*>(pageManager_->GetPoint(address));
  if (!node->IsMarked()) return;
  pageManager_->Release(address);
}

uint32_t NodeFactory::Reclaim(const InitMemAddress& node, int kind) {
  if (node.IsNull()) return kNull;
  void* block = pageManager_->GetPoint(node);
  // Word 1 sits at the same place in both kinds of node.
  std::atomic_ref<uint32_t> markWord = static_cast<ElementNode*>(block)->KindWord();
  uint32_t sidWord = markWord.load();
  if ((sidWord & kDeleteMark) == 0 || sidWord == kFreedWord) return kNull;
  // Only the release that claims the node frees it.
  if (!markWord.compare_exchange_strong(sidWord, kFreedWord)) return kNull;
  const uint32_t valueSid =
      kind == kAttributeNode ? static_cast<AttributeNode*>(block)->ValueWord().load() : kNull;
  FreeNode(node);
  return valueSid;
}

}  // namespace storage
