#include "shareddom/NodeRef.h"

#include <exception>
#include <stdexcept>
#include <utility>

#include "base/Exceptions.h"
#include "base/Logger.h"
#include "shareddom/Messages.h"
#include "shareddom/SharedServices.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shareddom::kNodeRefFile;
constexpr int32_t kOperationFailed = -6;

MemAccessController& RequiredAccess() {
  MemAccessController* controller = CurrentAccess();
  if (controller == nullptr) throw std::logic_error(messages::shareddom::kNoAccessController);
  return *controller;
}

}  // namespace

NodeRef::NodeRef(PageManager* const* slot, const InitMemAddress& address, NodeKind kind)
    : pointer_(slot, address), kind_(kind) {
  acquire();
}

NodeRef::NodeRef(const SharedPointer& pointer, NodeKind kind) : pointer_(pointer), kind_(kind) { acquire(); }

NodeRef::NodeRef(const NodeRef& other) : pointer_(other.pointer_), kind_(other.kind_) {
  MemAccessController* controller = CurrentAccess();
  // A live handle's record has a reference already, so one more cannot fail.
  if (!other.tracked_.IsNull() && other.IsCurrent() && controller->traits(other.record_).AddReference()) {
    tracked_ = other.tracked_;
    record_ = other.record_;
    generation_ = other.generation_;
    return;
  }
  acquire();
}

NodeRef::NodeRef(NodeRef&& other) noexcept
    : pointer_(other.pointer_),
      kind_(other.kind_),
      tracked_(std::exchange(other.tracked_, InitMemAddress())),
      record_(std::exchange(other.record_, InitMemAddress())),
      generation_(other.generation_) {}

NodeRef& NodeRef::operator=(const NodeRef& other) {
  if (this == &other) return *this;
  if (tracked_ == other.tracked_ && !tracked_.IsNull() && generation_ == other.generation_) {
    // The same node: the reference held already counts for the new value.
    pointer_ = other.pointer_;
    kind_ = other.kind_;
    return *this;
  }
  NodeRef copy(other);
  return *this = std::move(copy);
}

NodeRef& NodeRef::operator=(NodeRef&& other) noexcept {
  if (this == &other) return *this;
  release();
  pointer_ = other.pointer_;
  kind_ = other.kind_;
  tracked_ = std::exchange(other.tracked_, InitMemAddress());
  record_ = std::exchange(other.record_, InitMemAddress());
  generation_ = other.generation_;
  return *this;
}

NodeRef::~NodeRef() { release(); }

void NodeRef::acquire() {
  if (IsNull()) return;
  // Nodes start on word boundaries: a link to anywhere else is damage.
  if (address().offset() % 4 != 0) {
    throw InternalStructureException(kSourceFile, messages::shareddom::kNodeRefConstructor, __LINE__,
                                     messages::shareddom::kNodeLinkDamaged);
  }
  // Resolved now, so that threads sharing a handle only ever read it.
  pointer_.get();
  MemAccessController* controller = CurrentAccess();
  if (controller == nullptr) return;
  record_ = controller->TraitsOf(address());
  tracked_ = address();
  generation_ = controller->generation();
}

bool NodeRef::IsCurrent() const {
  const MemAccessController* controller = CurrentAccess();
  return controller != nullptr && controller->generation() == generation_;
}

AccessTraits* NodeRef::traits() const {
  if (record_.IsNull() || !IsCurrent()) return nullptr;
  return &CurrentAccess()->traits(record_);
}

void NodeRef::release() noexcept {
  if (tracked_.IsNull()) return;
  const InitMemAddress node = std::exchange(tracked_, InitMemAddress());
  MemAccessController* controller = CurrentAccess();
  if (controller == nullptr || controller->generation() != generation_) return;
  // Handles are let go in destructors: a failure can only be logged there.
  try {
    controller->ReleaseTraits(node, record_, kind_);
  } catch (const std::exception& error) {
    logger::error(messages::shareddom::kReleaseNodeFailedWith, node.value(), error.what());
  } catch (...) {
    logger::error(messages::shareddom::kReleaseNodeFailed, node.value());
  }
}

ElementNode& NodeRef::element() {
  STORAGE_ASSERT(kind_ == kElementNode && !IsNull(), kSourceFile, messages::shareddom::kNodeRefElement, nullptr);
  return *pointer_.as<ElementNode>();
}

AttributeNode& NodeRef::attribute() {
  STORAGE_ASSERT(kind_ == kAttributeNode && !IsNull(), kSourceFile, messages::shareddom::kNodeRefAttribute, nullptr);
  return *pointer_.as<AttributeNode>();
}

bool NodeRef::IsMarked() { return kind_ == kElementNode ? element().IsMarked() : attribute().IsMarked(); }

void NodeRef::mark() {
  if (kind_ == kElementNode) {
    element().mark();
  } else {
    attribute().mark();
  }
}

NodeRef NodeRef::follow(std::atomic_ref<uint32_t> link, NodeKind kind) {
  if (IsMarked()) throw MarkToDeleteException(kOperationFailed);
  SharedPointer target = pointer_;
  target.assign(InitMemAddress(link.load()));
  return NodeRef(target, kind);
}

NodeRef NodeRef::NextSibling() { return follow(element().NextSiblingWord(), kElementNode); }
NodeRef NodeRef::FirstChild() { return follow(element().FirstChildWord(), kElementNode); }
NodeRef NodeRef::FirstAttribute() { return follow(element().FirstAttributeWord(), kAttributeNode); }
NodeRef NodeRef::NextAttribute() { return follow(attribute().NextAttributeWord(), kAttributeNode); }

NodeLock::NodeLock(const NodeRef& node) : node_(node), controller_(CurrentAccess()) {
  if (!node_.record_.IsNull() && node_.IsCurrent()) {
    controller_->LockTraits(node_.record_);
  } else {
    controller_ = nullptr;
    if (!node_.IsNull()) RequiredAccess().LockNode(node_.address());
  }
}

NodeLock::~NodeLock() {
  if (controller_ != nullptr) {
    controller_->UnlockTraits(node_.record_);
  } else if (!node_.IsNull()) {
    RequiredAccess().UnlockNode(node_.address());
  }
}

}  // namespace storage
