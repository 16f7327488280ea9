#include "TreeWalk.h"

#include <vector>

#include "shareddom/DOMNode.h"
#include "shareddom/NameStrings.h"
#include "shareddom/NodeFactory.h"
#include "shm/InitMemAddress.h"

namespace cli {

namespace {

using storage::kDeleteMark;
using storage::NodeFactory;

constexpr uint32_t kNull = storage::InitMemAddress::kNull;

// Word offsets of the two node kinds.
constexpr uint32_t kNextLink = 0;
constexpr uint32_t kSidWord = 4;
constexpr uint32_t kFirstChild = 8;
constexpr uint32_t kFirstAttribute = 12;
constexpr uint32_t kAttributeValue = 8;

std::string Joined(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text.empty() ? "none" : text;
}

}  // namespace

TreeWalk::TreeWalk(const HiveRegion& nodes, const StringTableWalk& strings, Problems& problems,
                   std::unordered_set<uint32_t>& reached)
    : nodes_(nodes),
      strings_(strings),
      sectionSid_(strings.SidOf("section")),
      keySid_(strings.SidOf("key")),
      nameSid_(strings.SidOf("name")) {
  const uint32_t holder = FindRootHolder(reached);
  if (holder == kNull) {
    problems.push_back("tree: no root holder");
    return;
  }
  const uint32_t root = nodes_.word(holder);
  if (nodes_.block(root, NodeFactory::kElementSize) == nullptr) {
    problems.push_back("tree: the root holder names " + HexWord(root) + ", which is no element node");
    return;
  }
  reached.insert(root);
  visit({root, "", kNull}, true, problems, reached);
  while (!pending_.empty()) {
    const Pending element = std::move(pending_.back());
    pending_.pop_back();
    visit(element, false, problems, reached);
  }
}

// The root holder is the only 4-byte block of the tree; like the node
// factory, take the last one should there be several.
uint32_t TreeWalk::FindRootHolder(std::unordered_set<uint32_t>& reached) {
  const std::vector<uint32_t>& order = nodes_.AddressesInOrder();
  for (auto at = order.rbegin(); at != order.rend(); ++at) {
    if (nodes_.BlocksInUse().at(*at).requested != NodeFactory::kRootHolderSize) continue;
    reached.insert(*at);
    return *at;
  }
  return kNull;
}

// The element itself is known to be an element node that no other link named.
void TreeWalk::visit(const Pending& element, bool isRoot, Problems& problems,
                     std::unordered_set<uint32_t>& reached) {
  const uint32_t kind = nodes_.word(element.address + kSidWord);
  std::string where = "element " + HexWord(element.address) + " under " +
                      (element.parentPath.empty() ? "the root" : "'" + element.parentPath + "'");
  if (isRoot) where = "the root element";
  if ((kind & kDeleteMark) != 0) problems.push_back(where + ": it was removed but is still linked");
  std::string path;
  bool isKey = false;
  if (isRoot) {
    if (kind != 0) problems.push_back(where + ": its kind word is " + HexWord(kind) + " instead of 0");
    if (nodes_.word(element.address + kFirstAttribute) != kNull)
      problems.push_back(where + ": it has attributes");
  } else {
    const uint32_t kindSid = kind & ~kDeleteMark;
    isKey = kindSid == keySid_;
    if (isKey) {
      ++keys_;
    } else if (kindSid == sectionSid_) {
      ++sections_;
    } else {
      problems.push_back(where + ": its kind SID " + std::to_string(kindSid) + " is neither section nor key");
    }
    uint32_t nameSid = kNull;
    const std::string stored = ReadAttributes(element.address, isKey, where, problems, reached, nameSid);
    const std::string name = storage::names::Text(stored.c_str());
    path = element.parentPath.empty() ? name : element.parentPath + "\\" + name;
    where = (isKey ? "key '" : "section '") + path + "'";
    CheckLookup(element, kindSid, nameSid, name, where, problems);
  }

  for (uint32_t child = nodes_.word(element.address + kFirstChild); child != kNull;
       child = nodes_.word(child + kNextLink)) {
    if (isKey) {
      problems.push_back(where + ": a key with child elements");
    } else if (nodes_.block(child, NodeFactory::kElementSize) == nullptr) {
      problems.push_back(where + ": a child link names " + HexWord(child) + ", which is no element node");
    } else if (!reached.insert(child).second) {
      problems.push_back(where + ": its children reach the element " + HexWord(child) + " a second time");
    } else {
      pending_.push_back({child, path, element.address});
      continue;
    }
    break;
  }
}

std::string TreeWalk::ReadAttributes(uint32_t element, bool isKey, const std::string& where,
                                     Problems& problems, std::unordered_set<uint32_t>& reached,
                                     uint32_t& nameSid) {
  std::string name;
  std::vector<std::string> names;
  for (uint32_t attribute = nodes_.word(element + kFirstAttribute); attribute != kNull;
       attribute = nodes_.word(attribute + kNextLink)) {
    if (nodes_.block(attribute, NodeFactory::kAttributeSize) == nullptr) {
      problems.push_back(where + ": an attribute link names " + HexWord(attribute) +
                         ", which is no attribute node");
      break;
    }
    if (!reached.insert(attribute).second) {
      problems.push_back(where + ": its attributes reach " + HexWord(attribute) + " a second time");
      break;
    }
    const uint32_t nameWord = nodes_.word(attribute + kSidWord);
    if ((nameWord & kDeleteMark) != 0) problems.push_back(where + ": a removed attribute is still linked");
    const std::string attributeName = TextOf(nameWord & ~kDeleteMark, where, problems);
    const uint32_t value = nodes_.word(attribute + kAttributeValue);
    const std::string valueText = TextOf(value, where + ", attribute '" + attributeName + "'", problems);
    ++valueUses_[value];
    if (names.empty() && (nameWord & ~kDeleteMark) == nameSid_) {
      name = valueText;
      nameSid = value;
    }
    names.push_back(attributeName);
  }
  // A key gets its type, size and value as one chain behind its name; a key
  // whose process ended before that has its name only and reads as "no value".
  const std::vector<std::string> nameOnly{"name"};
  const std::vector<std::string> withValue{"name", "type", "size", "value"};
  if (names != nameOnly && !(isKey && names == withValue)) {
    problems.push_back(where + ": its attributes are " + Joined(names) + " instead of " +
                       Joined(isKey ? withValue : nameOnly));
  }
  return name;
}

// A read reaches a section or key by name: the string table's lookup by name
// gives a SID, and the first child of the parent with that kind and SID
// answers. A name that leads elsewhere shows in a listing but cannot be read.
void TreeWalk::CheckLookup(const Pending& element, uint32_t kindSid, uint32_t nameSid,
                           const std::string& name, const std::string& where, Problems& problems) {
  // A missing name or a dead SID is reported already.
  if (nameSid == kNull || strings_.find(nameSid) == nullptr) return;
  if (const uint32_t found = strings_.SidOfName(name); found != nameSid) {
    problems.push_back(where + ": a lookup by its name finds " +
                       (found == 0 ? std::string("no string") : "the string " + std::to_string(found)) +
                       " instead of its own (" + std::to_string(nameSid) + ")");
  }
  if (!named_.insert({element.parent, kindSid, nameSid}).second) {
    problems.push_back(where + ": an earlier sibling has the same name, and lookups reach only that one");
  }
}

std::string TreeWalk::TextOf(uint32_t sid, const std::string& where, Problems& problems) {
  const StoredString* string = strings_.find(sid);
  if (string != nullptr) return string->text;
  problems.push_back(where + ": the SID " + std::to_string(static_cast<int32_t>(sid)) +
                     " names no live string");
  return "(SID " + std::to_string(static_cast<int32_t>(sid)) + ")";
}

}  // namespace cli
