// The element tree of the XML node library: an element has an optional name,
// ordered attributes (name, value) and an ordered list of child elements.
// Text content is not part of the tree. All strings are 8-bit, NUL-terminated
// and copied on the way in. Each list indexes its children by element name and
// attribute "name", so that finding a named child does not walk the list.
#ifndef SETTINGSTORE_XML_XMLNODE_H
#define SETTINGSTORE_XML_XMLNODE_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

class XmlNode;

// The children of one element. The list owns its elements.
class XmlNodes {
 public:
  XmlNodes() = default;
  ~XmlNodes();
  XmlNodes(const XmlNodes&) = delete;
  XmlNodes& operator=(const XmlNodes&) = delete;

  int Size() const;
  // The child at index, or null when index is outside [0, Size()).
  XmlNode* At(int index) const;
  // Appends the node and takes ownership of it (null is ignored). The node
  // must come from createNode or a parser's detachRoot and belong to no list.
  void Add(XmlNode* node);
  // Destroys the child at index with its subtree (a pinned node only leaves
  // the tree, see XmlNode::pin). False when out of range.
  bool Delete(int index);

  // The first child whose element name is `tag` and whose first attribute
  // "name" equals `name` ignoring ASCII case; null when there is none.
  XmlNode* Find(std::string_view tag, std::string_view name) const;
  // The position of a child in the list, or -1.
  int IndexOf(const XmlNode* node) const;

 private:
  friend class XmlNode;  // keeps the index in step when a child is renamed

  struct KeyView {
    std::string_view tag;
    std::string_view name;
  };
  // One key of the index: the first child holding it and how many children
  // share it. The key is read from that child, which the index always follows;
  // duplicates are rare (a hand-edited file), so only removing the first one
  // walks the list. A slot whose first is null is free.
  struct Slot {
    uint64_t hash = 0;
    XmlNode* first = nullptr;
    size_t count = 0;
  };

  // False for a node without element name or attribute "name": not indexed.
  static bool KeyOf(const XmlNode* node, KeyView* key);
  static uint64_t Hash(const KeyView& key);
  static bool Same(const KeyView& a, const KeyView& b);
  // The slot of the key, or null.
  Slot* Lookup(const KeyView& key, uint64_t hash) const;
  void Index(XmlNode* node);
  void Unindex(const XmlNode* node);
  void Grow();
  void FreeSlot(size_t index);

  std::vector<std::unique_ptr<XmlNode>> nodes_;
  // Open addressing with linear probing over a power-of-two table: no
  // division and no allocation per lookup.
  std::vector<Slot> slots_;
  size_t used_ = 0;
};

class XmlNode {
 public:
  static constexpr unsigned kNoAttribute = 0xFFFFFFFF;

  // A new element without name, attributes or children, owned by the caller
  // until it is added to a list.
  static XmlNode* CreateNode();
  ~XmlNode();
  XmlNode(const XmlNode&) = delete;
  XmlNode& operator=(const XmlNode&) = delete;

  // The attribute whose value names an element among its siblings.
  static constexpr const char* kNameAttribute = "name";

  // Null removes the name.
  void SetName(const char* name);
  // Null when the element has no name.
  const char* Name() const;

  // Appends an attribute, also when one of that name exists already; a null
  // name or value is stored as empty text.
  void AddAttribute(const char* name, const char* value);
  // The value of the first attribute of that name, or null when absent.
  const char* GetAttributeValue(const char* name) const;
  // The index of the first attribute of that name at or after start, or
  // kNoAttribute.
  unsigned GetAttributeIndex(const char* name, unsigned start = 0) const;
  // Replaces the value at index (null as empty text). False when out of range.
  bool SetAttributeValue(unsigned index, const char* value);

  // For each of `count` distinct names the value of its first attribute (a
  // view of NUL-terminated text), or a view with null data when absent, in
  // one pass over the attributes.
  void GetAttributeValues(const std::string_view* names, std::string_view* values, size_t count) const;

  unsigned GetAttributeCount() const;
  // Name and value by index; null when out of range.
  const char* GetAttributeNameAt(unsigned index) const;
  const char* GetAttributeValueAt(unsigned index) const;

  // Never null.
  XmlNodes* GetChildren();
  const XmlNodes* GetChildren() const;

  // A pinned node outlives its removal from the tree: whoever stands for an
  // element can still ask IsRemoved() instead of reading freed memory, and
  // the last unpin frees a removed node. Thread-safe among themselves.
  void Pin();
  void Unpin();
  bool IsRemoved() const;

 private:
  friend class XmlNodes;  // frees deep subtrees without recursion
  static constexpr unsigned kRemoved = 0x80000000u;

  XmlNode() = default;
  // Marks the node removed; true when a pin keeps it alive.
  bool Detach();
  // Runs a change that may alter the node's key in its list's index.
  template <class Change>
  void Rekey(Change change);

  std::optional<std::string> name_;
  std::vector<std::pair<std::string, std::string>> attributes_;
  XmlNodes children_;
  XmlNodes* owner_ = nullptr;       // the list holding the node, while it is in one
  std::atomic<unsigned> state_{0};  // kRemoved | number of pins
};

// Frees a node that belongs to no list the way a list frees its children.
struct XmlNodeDeleter {
  void operator()(XmlNode* node) const;
};

#endif  // SETTINGSTORE_XML_XMLNODE_H
