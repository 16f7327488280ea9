// The element operations of the shared DOM. Lists are read in place: the
// caller's section lock keeps the lists walked here from losing nodes, so a
// walk takes no access reference per node visited, only one on the node it
// hands out. Marks are still honoured, for nodes that a process removed
// without the lock (a damaged or older peer) and for the neighbours' readers.
#include <algorithm>
#include <stdexcept>
#include <utility>

#include "base/Exceptions.h"
#include "base/Logger.h"
#include "platform/Platform.h"
#include "shareddom/DOMElements.h"
#include "shareddom/Messages.h"
#include "shareddom/NodeFactory.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shareddom::kDomElementsFile;
constexpr uint32_t kNoSid = WellKnownSids::kNoSid;
constexpr uint32_t kEnd = InitMemAddress::kNull;
// More nodes than the hives can hold: a list this long has a cycle.
constexpr uint64_t kMaxListLength =
    uint64_t{PageManager::kMaxHives} * (PageManager::kHiveSize / NodeFactory::kAttributeSize);

SharedServices& Services() {
  SharedServices* services = SharedServices::Current();
  if (services == nullptr) throw std::logic_error(messages::shareddom::kNotInitialised);
  return *services;
}

NodeFactory& Factory() { return Services().Nodes(); }

}  // namespace

// Resolves node addresses in this process, refusing any that cannot hold a
// node, and counts the steps of one pass so that a damaged list cannot spin.
class ListWalk {
 public:
  explicit ListWalk(const char* function) : pages_(Factory().Pages()), function_(function) {}

  ElementNode& Element(uint32_t address) { return *static_cast<ElementNode*>(Resolve(address, 16)); }
  AttributeNode& Attribute(uint32_t address) { return *static_cast<AttributeNode*>(Resolve(address, 12)); }
  void Restart() { steps_ = 0; }
  // Counts a pass given up for a marked node. Writers hold the section's
  // lock, so a removed node is never met twice in a sound tree: one that
  // stays linked pass after pass is damage, and waiting on it would hang.
  void PassAgain() {
    if (++restarts_ > kMaxRestarts) {
      throw InternalStructureException(kSourceFile, function_, __LINE__, messages::shareddom::kRemovedNodeLinked);
    }
    platform::YieldThread();
  }

 private:
  void* Resolve(uint32_t address, uint32_t size) {
    const InitMemAddress at(address);
    const auto offset = static_cast<uint32_t>(at.Offset());
    // A link that names no possible hive fails this operation alone; the
    // page manager would take it for a storage that cannot be used any more.
    const bool hiveExists =
        at.HiveNumber() >= 1 && static_cast<uint32_t>(at.HiveNumber()) <= PageManager::kMaxHives;
    if (++steps_ > kMaxListLength || !hiveExists || offset % 4 != 0 ||
        offset + size > PageManager::kHiveSize) {
      throw InternalStructureException(kSourceFile, function_, __LINE__, messages::shareddom::kListDamaged);
    }
    return pages_.GetPoint(at);
  }

  static constexpr uint32_t kMaxRestarts = 1000;

  PageManager& pages_;
  const char* function_;
  uint64_t steps_ = 0;
  uint32_t restarts_ = 0;
};

namespace {

uint32_t SidOf(const StringAutoRelease& handle) {
  return handle.GetHolder() == nullptr ? kNoSid : static_cast<uint32_t>(handle.GetSID());
}

NodeRef ElementHandle(uint32_t address) {
  return NodeRef(Factory().PagesSlot(), InitMemAddress(address), kElementNode);
}

NodeRef NoNode(NodeKind kind) { return NodeRef(Factory().PagesSlot(), InitMemAddress(), kind); }

struct AttributeLookup {
  bool completed;  // false: the pass met a marked node
  uint32_t value;  // the value SID, kNoSid when there is no such attribute
};

// One pass over an element's attributes, read in place.
AttributeLookup LookUp(ListWalk& walk, ElementNode& element, uint32_t nameSid) {
  uint32_t at = element.FirstAttributeWord().load(std::memory_order_acquire);
  while (at != kEnd) {
    AttributeNode& attribute = walk.Attribute(at);
    if (attribute.IsMarked()) return {false, 0};
    if (attribute.NameWord().load() == nameSid) return {true, attribute.ValueWord().load()};
    at = attribute.NextAttributeWord().load(std::memory_order_acquire);
  }
  return {true, kNoSid};
}

uint32_t AttributeValue(ListWalk& walk, ElementNode& element, uint32_t nameSid) {
  for (;;) {
    const AttributeLookup lookup = LookUp(walk, element, nameSid);
    if (lookup.completed) return lookup.value;
    walk.PassAgain();
  }
}

bool Matches(ListWalk& walk, ElementNode& child, uint32_t kindSid, uint32_t nameSid) {
  return child.KindWord().load() == kindSid && AttributeValue(walk, child, Services().Sids().name) == nameSid;
}

// A new attribute node that holds one reference on its value's string: the
// value word is set only once the reference is taken, so that freeing a node
// of a failed operation gives back exactly the references it holds.
NodeRef NewAttribute(uint32_t nameSid, uint32_t valueSid) {
  NodeRef node = Factory().NewBareAttribute(nameSid, kNoSid);
  try {
    const StringAutoRelease value = Services().Strings().GetString(static_cast<int32_t>(valueSid));
    if (value.GetHolder() != nullptr) value.AddRef();
  } catch (...) {
    node.Mark();
    throw;
  }
  node.Attribute().ValueWord().exchange(valueSid, std::memory_order_seq_cst);
  return node;
}

[[noreturn]] void ThrowMarked() { throw MarkToDeleteException(kErrorFailed); }

}  // namespace

uint32_t DOMElement::GetAttribute(uint32_t nameSid) {
  ListWalk walk(messages::shareddom::kGetAttribute);
  return AttributeValue(walk, element_.Element(), nameSid);
}

void DOMElement::GetAttributes(const uint32_t* nameSids, uint32_t* valueSids, size_t count) {
  ListWalk walk(messages::shareddom::kGetAttribute);
  for (bool complete = false; !complete;) {
    std::fill(valueSids, valueSids + count, kNoSid);
    complete = true;
    for (uint32_t at = element_.Element().FirstAttributeWord().load(std::memory_order_acquire); at != kEnd;) {
      AttributeNode& attribute = walk.Attribute(at);
      if (attribute.IsMarked()) {
        complete = false;
        walk.PassAgain();
        break;
      }
      const uint32_t name = attribute.NameWord().load();
      for (size_t i = 0; i < count; ++i) {
        if (name == nameSids[i] && valueSids[i] == kNoSid) valueSids[i] = attribute.ValueWord().load();
      }
      at = attribute.NextAttributeWord().load(std::memory_order_acquire);
    }
  }
}

bool DOMElement::SwapAttributes(NodeRef& chain) {
  const uint32_t first = element_.Element().FirstAttributeWord().load(std::memory_order_acquire);
  if (first == kEnd) throw std::logic_error(messages::shareddom::kFirstAttributeMissing);
  ListWalk walk(messages::shareddom::kSwapAttributes);
  AttributeNode& name = walk.Attribute(first);
  if (name.IsMarked()) return false;
  uint32_t old = name.NextAttributeWord().load(std::memory_order_acquire);
  // Taken before the swap: once it succeeds, the old chain is ours to retire.
  NodeRef oldChain(Factory().PagesSlot(), InitMemAddress(old), kAttributeNode);
  if (!name.NextAttributeWord().compare_exchange_strong(old, chain.Address().Value(),
                                                        std::memory_order_seq_cst)) {
    return false;
  }
  chain = std::move(oldChain);
  return true;
}

NodeRef DOMElement::NewValueChain(uint32_t typeSid, uint32_t sizeSid, uint32_t valueSid) {
  Services().NoteChange();
  const WellKnownSids& sids = Services().Sids();
  NodeRef nodes[3] = {NoNode(kAttributeNode), NoNode(kAttributeNode), NoNode(kAttributeNode)};
  try {
    nodes[0] = NewAttribute(sids.type, typeSid);
    nodes[1] = NewAttribute(sids.size, sizeSid);
    nodes[2] = NewAttribute(sids.value, valueSid);
    for (int i = 0; i < 2; ++i) {
      if (nodes[i].IsMarked()) ThrowMarked();
      uint32_t expected = kEnd;
      nodes[i].Attribute().NextAttributeWord().compare_exchange_strong(expected,
                                                                       nodes[i + 1].Address().Value());
    }
  } catch (...) {
    // Marked, the nodes made so far are freed with the string references they hold.
    logger::Error(messages::shareddom::kSetAttributesFailed);
    for (NodeRef& node : nodes) {
      if (!node.IsNull()) node.Mark();
    }
    throw;
  }
  return nodes[0];
}

void DOMElement::SetAttributes(NodeRef& chain) {
  try {
    if (element_.IsMarked()) throw OpenException(kErrorDeleted);
    ListWalk retries(messages::shareddom::kSetAttributes);
    while (!SwapAttributes(chain)) retries.PassAgain();
    Services().Changes()->Count();
  } catch (...) {
    logger::Error(messages::shareddom::kSetAttributesFailed);
    throw;
  }
}

RetiredChain::~RetiredChain() {
  // Each node is freed, with its string reference, when its last handle goes.
  try {
    while (!chain_.IsNull()) {
      NodeRef next = chain_.NextAttribute();
      chain_.Mark();
      chain_ = std::move(next);
    }
  } catch (const std::exception& error) {
    logger::Error(messages::shareddom::kRetireChainFailed, error.what());
  }
}

DOMElement::SearchPass DOMElement::SearchChildren(ListWalk& walk, uint32_t kindSid, uint32_t nameSid,
                                                  std::vector<ChildIndex::Child>& seen) {
  SearchPass pass{true, kEnd, kEnd};
  walk.Restart();
  seen.clear();
  const uint32_t nameAttribute = Services().Sids().name;
  uint32_t child = element_.Element().FirstChildWord().load(std::memory_order_acquire);
  while (child != kEnd) {
    ElementNode& node = walk.Element(child);
    if (node.IsMarked()) return {false, kEnd, kEnd};
    pass.last = child;
    const ChildIndex::Child entry{node.KindWord().load(), AttributeValue(walk, node, nameAttribute), child};
    seen.push_back(entry);
    if (entry.kind == kindSid && entry.name == nameSid) {
      pass.found = child;
      return pass;
    }
    child = node.NextSiblingWord().load(std::memory_order_acquire);
  }
  return pass;
}

DOMElement::SearchPass DOMElement::FindChild(ListWalk& walk, uint32_t kindSid, uint32_t nameSid) {
  std::vector<ChildIndex::Child> seen;
  AccessTraits* traits = element_.Traits();
  if (traits == nullptr) return SearchChildren(walk, kindSid, nameSid, seen);
  ChildIndex& index = Factory().Children();
  const uint32_t parent = element_.Address().Value();
  const uint32_t changes = traits->ChangesWord().load();
  const ChildIndex::Answer known = index.Find(parent, kindSid, nameSid, changes);
  if (known.child != kEnd) {
    // A sound entry names an unmarked child of that kind and name; anything
    // else (damage) costs a search, never a wrong child.
    ElementNode& node = walk.Element(known.child);
    if (!node.IsMarked() && Matches(walk, node, kindSid, nameSid)) return {true, known.child, kEnd};
  } else if (known.absent) {
    return {true, kEnd, known.last};
  }
  const SearchPass pass = SearchChildren(walk, kindSid, nameSid, seen);
  if (pass.complete) index.Remember(parent, changes, seen, pass.found == kEnd);
  return pass;
}

uint32_t DOMElement::CountListChange() {
  AccessTraits* traits = element_.Traits();
  return traits == nullptr ? kEnd : traits->ChangesWord().fetch_add(1);
}

NodeRef DOMElement::FindElement(uint32_t kindSid, const StringAutoRelease& name) {
  const uint32_t nameSid = SidOf(name);
  ListWalk walk(messages::shareddom::kFindElement);
  for (;;) {
    if (element_.IsMarked()) throw OpenException(kErrorDeleted);
    const SearchPass pass = FindChild(walk, kindSid, nameSid);
    if (pass.complete) {
      if (pass.found == kEnd) throw OpenException(kErrorNotFound);
      return ElementHandle(pass.found);
    }
    walk.PassAgain();
  }
}

bool DOMElement::AppendChild(ListWalk& walk, uint32_t from, uint32_t newChild, uint32_t& changes) {
  walk.Restart();
  uint32_t last = from == kEnd ? element_.Element().FirstChildWord().load(std::memory_order_acquire) : from;
  if (last == kEnd) {
    if (element_.IsMarked()) ThrowMarked();
    changes = CountListChange();
    uint32_t none = kEnd;
    return element_.Element().FirstChildWord().compare_exchange_strong(none, newChild);
  }
  for (;;) {
    ElementNode& node = walk.Element(last);
    if (node.IsMarked()) return false;
    const uint32_t next = node.NextSiblingWord().load(std::memory_order_acquire);
    if (next != kEnd) {
      last = next;
      continue;
    }
    if (node.IsMarked()) ThrowMarked();
    changes = CountListChange();
    uint32_t none = kEnd;
    return node.NextSiblingWord().compare_exchange_strong(none, newChild);
  }
}

NodeRef DOMElement::CreateElement(uint32_t kindSid, const StringAutoRelease& name, bool& created,
                                  const FirstValue* value) {
  const uint32_t nameSid = SidOf(name);
  ListWalk walk(messages::shareddom::kCreateElement);
  // The search: as findElement, but a marked parent shows as an exception.
  if (element_.IsMarked()) ThrowMarked();
  SearchPass pass = FindChild(walk, kindSid, nameSid);
  while (!pass.complete) {
    walk.PassAgain();
    if (element_.IsMarked()) throw CreateException(kErrorDeleted);
    pass = FindChild(walk, kindSid, nameSid);
  }
  if (pass.found != kEnd) {
    created = false;
    return ElementHandle(pass.found);
  }

  Services().NoteChange();
  NodeRef element = Factory().NewElement(kindSid);
  // The name, and a key's first value, are linked before the element is, so
  // no reader (nor a process that dies halfway) leaves an element without them.
  NodeRef attributes[4] = {NoNode(kAttributeNode), NoNode(kAttributeNode), NoNode(kAttributeNode),
                           NoNode(kAttributeNode)};
  try {
    const WellKnownSids& sids = Services().Sids();
    attributes[0] = NewAttribute(sids.name, nameSid);
    if (value != nullptr) {
      attributes[1] = NewAttribute(sids.type, value->type);
      attributes[2] = NewAttribute(sids.size, value->size);
      attributes[3] = NewAttribute(sids.value, value->value);
      for (int i = 0; i < 3; ++i) {
        uint32_t none = kEnd;
        attributes[i].Attribute().NextAttributeWord().compare_exchange_strong(
            none, attributes[i + 1].Address().Value());
      }
    }
    if (element.IsMarked()) ThrowMarked();
    uint32_t expected = kEnd;
    const bool named = element.Element().FirstAttributeWord().compare_exchange_strong(
        expected, attributes[0].Address().Value());
    STORAGE_ASSERT(named, kSourceFile, messages::shareddom::kCreateElement, nullptr);

    // First behind the last child the search saw, then in passes from the head.
    uint32_t changes = kEnd;
    for (uint32_t from = pass.last; !AppendChild(walk, from, element.Address().Value(), changes); from = kEnd) {
      walk.PassAgain();
      if (element_.IsMarked()) throw CreateException(kErrorDeleted);
    }
    if (changes != kEnd) {
      Factory().Children().Appended(element_.Address().Value(), changes,
                                    ChildIndex::Child{kindSid, nameSid, element.Address().Value()});
    }
  } catch (...) {
    // Never linked: their blocks and their strings' references come back.
    element.Mark();
    for (NodeRef& attribute : attributes) {
      if (!attribute.IsNull()) attribute.Mark();
    }
    throw;
  }
  Services().Changes()->Count();
  created = true;
  return element;
}

void DOMElement::MarkToDelete(NodeRef element) {
  NodeRef attribute = element.FirstAttribute();
  element.Element().FirstAttributeWord().exchange(kEnd, std::memory_order_seq_cst);
  element.Mark();
  while (!attribute.IsNull()) {
    NodeRef next = attribute.NextAttribute();
    attribute.Mark();
    attribute = std::move(next);
  }
}

void DOMElement::UnlinkFirstChild() {
  if (element_.IsMarked()) ThrowMarked();
  NodeRef first = element_.FirstChild();
  const uint32_t next = first.Element().NextSiblingWord().load(std::memory_order_acquire);
  element_.Element().FirstChildWord().exchange(next, std::memory_order_seq_cst);
}

void DOMElement::UnlinkNext() {
  if (element_.IsMarked()) ThrowMarked();
  NodeRef next = element_.NextSibling();
  if (next.IsNull()) return;
  const uint32_t after = next.Element().NextSiblingWord().load(std::memory_order_acquire);
  element_.Element().NextSiblingWord().exchange(after, std::memory_order_seq_cst);
}

bool DOMElement::TryDeleteElement(uint32_t kindSid, uint32_t nameSid) {
  ListWalk walk(messages::shareddom::kTryDeleteElement);
  NodeRef child = element_.FirstChild();
  if (child.IsNull()) throw DeleteException(kErrorFailed);
  NodeRef previous = NoNode(kElementNode);
  while (!child.IsNull()) {
    ElementNode& node = walk.Element(child.Address().Value());
    if (node.IsMarked()) return false;
    if (Matches(walk, node, kindSid, nameSid)) {
      if (child.Element().FirstChildWord().load() != kEnd) throw NotEmptyException(kErrorFailed);
      Services().NoteChange();
      CountListChange();
      Factory().Children().Forget(element_.Address().Value());
      if (previous.IsNull()) {
        UnlinkFirstChild();
      } else {
        DOMElement(previous).UnlinkNext();
      }
      MarkToDelete(std::move(child));
      Services().Changes()->Count();
      return true;
    }
    NodeRef next = child.NextSibling();
    previous = std::move(child);
    child = std::move(next);
  }
  throw DeleteException(kErrorNotFound);
}

std::vector<uint32_t> DOMElement::ChildNames(uint32_t kindSid) {
  ListWalk walk(messages::shareddom::kChildNames);
  if (element_.IsMarked()) ThrowMarked();
  std::vector<uint32_t> names;
  uint32_t child = element_.Element().FirstChildWord().load(std::memory_order_acquire);
  while (child != kEnd) {
    ElementNode& node = walk.Element(child);
    if (node.IsMarked()) ThrowMarked();
    if (node.KindWord().load() == kindSid) {
      const uint32_t name = AttributeValue(walk, node, Services().Sids().name);
      if (name != kNoSid) names.push_back(name);
    }
    child = node.NextSiblingWord().load(std::memory_order_acquire);
  }
  return names;
}

bool DOMElement::DeleteElement(uint32_t kindSid, const StringAutoRelease& name) {
  if (element_.IsMarked()) throw DeleteException(kErrorDeleted);
  ListWalk retries(messages::shareddom::kDeleteElement);
  for (;;) {
    if (TryDeleteElement(kindSid, SidOf(name))) return true;
    retries.PassAgain();
    if (element_.IsMarked()) throw DeleteException(kErrorDeleted);
  }
}

}  // namespace storage
