// The element tree of the XML node library: an element has an optional name,
// ordered attributes (name, value) and an ordered list of child elements.
// Text content is not part of the tree. All strings are 8-bit, NUL-terminated
// and copied on the way in.
#ifndef SETTINGSTORE_XML_XMLNODE_H
#define SETTINGSTORE_XML_XMLNODE_H

#include <atomic>
#include <memory>
#include <optional>
#include <string>
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

 private:
  std::vector<std::unique_ptr<XmlNode>> nodes_;
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

  std::optional<std::string> name_;
  std::vector<std::pair<std::string, std::string>> attributes_;
  XmlNodes children_;
  std::atomic<unsigned> state_{0};  // kRemoved | number of pins
};

// Frees a node that belongs to no list the way a list frees its children.
struct XmlNodeDeleter {
  void operator()(XmlNode* node) const;
};

#endif  // SETTINGSTORE_XML_XMLNODE_H
