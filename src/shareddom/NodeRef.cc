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
  Acquire();
}

NodeRef::NodeRef(const SharedPointer& pointer, NodeKind kind) : pointer_(pointer), kind_(kind) { Acquire(); }

NodeRef::NodeRef(const NodeRef& other) : pointer_(other.pointer_), kind_(other.kind_) {
  MemAccessController* controller = CurrentAccess();
  // A live handle's record has a reference already, so one more cannot fail.
  if (!other.tracked_.IsNull() && other.IsCurrent() && controller->Traits(other.record_).AddReference()) {
    tracked_ = other.tracked_;
    record_ = other.record_;
    generation_ = other.generation_;
    return;
  }
  Acquire();
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
  Release();
  pointer_ = other.pointer_;
  kind_ = other.kind_;
  tracked_ = std::exchange(other.tracked_, InitMemAddress());
  record_ = std::exchange(other.record_, InitMemAddress());
  generation_ = other.generation_;
  return *this;
}

NodeRef::~NodeRef() { Release(); }

void NodeRef::Acquire() {
  if (IsNull()) return;
  // Nodes start on word boundaries: a link to anywhere else is damage.
  if (Address().Offset() % 4 != 0) {
    throw InternalStructureException(kSourceFile, messages::shareddom::kNodeRefConstructor, __LINE__,
                                     messages::shareddom::kNodeLinkDamaged);
  }
  // Resolved now, so that threads sharing a handle only ever read it.
  pointer_.get();
  MemAccessController* controller = CurrentAccess();
  if (controller == nullptr) return;
  record_ = controller->TraitsOf(Address());
  tracked_ = Address();
  generation_ = controller->Generation();
}

bool NodeRef::IsCurrent() const {
  const MemAccessController* controller = CurrentAccess();
  return controller != nullptr && controller->Generation() == generation_;
}

AccessTraits* NodeRef::Traits() const {
  if (record_.IsNull() || !IsCurrent()) return nullptr;
  return &CurrentAccess()->Traits(record_);
}

void NodeRef::Release() noexcept {
  if (tracked_.IsNull()) return;
  const InitMemAddress node = std::exchange(tracked_, InitMemAddress());
  MemAccessController* controller = CurrentAccess();
  if (controller == nullptr || controller->Generation() != generation_) return;
  // Handles are let go in destructors: a failure can only be logged there.
  try {
    controller->ReleaseTraits(node, record_, kind_);
  } catch (const std::exception& error) {
    logger::Error(messages::shareddom::kReleaseNodeFailedWith, node.Value(), error.what());
  } catch (...) {
    logger::Error(messages::shareddom::kReleaseNodeFailed, node.Value());
  }
}

ElementNode& NodeRef::Element() {
  STORAGE_ASSERT(kind_ == kElementNode && !IsNull(), kSourceFile, messages::shareddom::kNodeRefElement, nullptr);
  return *pointer_.As<ElementNode>();
}

AttributeNode& NodeRef::Attribute() {
  STORAGE_ASSERT(kind_ == kAttributeNode && !IsNull(), kSourceFile, messages::shareddom::kNodeRefAttribute, nullptr);
  return *pointer_.As<AttributeNode>();
}

bool NodeRef::IsMarked() { return kind_ == kElementNode ? Element().IsMarked() : Attribute().IsMarked(); }

void NodeRef::Mark() {
  if (kind_ == kElementNode) {
    Element().Mark();
  } else {
    Attribute().Mark();
  }
}

NodeRef NodeRef::Follow(std::atomic_ref<uint32_t> link, NodeKind kind) {
  if (IsMarked()) throw MarkToDeleteException(kOperationFailed);
  SharedPointer target = pointer_;
  target.Assign(InitMemAddress(link.load()));
  return NodeRef(target, kind);
}

NodeRef NodeRef::NextSibling() { return Follow(Element().NextSiblingWord(), kElementNode); }
NodeRef NodeRef::FirstChild() { return Follow(Element().FirstChildWord(), kElementNode); }
NodeRef NodeRef::FirstAttribute() { return Follow(Element().FirstAttributeWord(), kAttributeNode); }
NodeRef NodeRef::NextAttribute() { return Follow(Attribute().NextAttributeWord(), kAttributeNode); }

NodeLock::NodeLock(const NodeRef& node) : node_(node), controller_(CurrentAccess()) {
  if (!node_.record_.IsNull() && node_.IsCurrent()) {
    controller_->LockTraits(node_.record_);
  } else {
    controller_ = nullptr;
    if (!node_.IsNull()) RequiredAccess().LockNode(node_.Address());
  }
}

NodeLock::~NodeLock() {
  if (controller_ != nullptr) {
    controller_->UnlockTraits(node_.record_);
  } else if (!node_.IsNull()) {
    RequiredAccess().UnlockNode(node_.Address());
  }
}

NodeReadLock::NodeReadLock(const NodeRef& node) {
  MemAccessController* controller = CurrentAccess();
  if (!node.record_.IsNull() && node.IsCurrent() && controller->EnterRead(node.record_)) {
    shared_ = controller;
  } else {
    exclusive_.emplace(node);
  }
}

NodeReadLock::~NodeReadLock() {
  if (shared_ != nullptr) shared_->LeaveRead();
}

}  // namespace storage
