// The element tree of the XML node library: an element has an optional name,
// ordered attributes (name, value) and an ordered list of child elements.
// Text content is not part of the tree. All strings are 8-bit, NUL-terminated
// and copied on the way in.
#ifndef SETTINGSTORE_XML_VELXMLNODE_H
#define SETTINGSTORE_XML_VELXMLNODE_H

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

class CVelXmlNode;

// The children of one element. The list owns its elements.
class CVelXmlNodes {
 public:
  CVelXmlNodes() = default;
  ~CVelXmlNodes();
  CVelXmlNodes(const CVelXmlNodes&) = delete;
  CVelXmlNodes& operator=(const CVelXmlNodes&) = delete;

  int size() const;
  // The child at index, or null when index is outside [0, size()).
  CVelXmlNode* get(int index) const;
  // Appends the node and takes ownership of it (null is ignored). The node
  // must come from createNode or a parser's dettachRoot and belong to no list.
  void add(CVelXmlNode* node);
  // Destroys the child at index with its subtree. False when out of range.
  bool del(int index);

 private:
  std::vector<std::unique_ptr<CVelXmlNode>> nodes_;
};

class CVelXmlNode {
 public:
  static constexpr unsigned kNoAttribute = 0xFFFFFFFF;

  // A new element without name, attributes or children, owned by the caller
  // until it is added to a list.
  static CVelXmlNode* createNode();
  ~CVelXmlNode();
  CVelXmlNode(const CVelXmlNode&) = delete;
  CVelXmlNode& operator=(const CVelXmlNode&) = delete;

  // Null removes the name.
  void setName(const char* name);
  // Null when the element has no name.
  const char* getName() const;

  // Appends an attribute, also when one of that name exists already; a null
  // name or value is stored as empty text.
  void addAttribute(const char* name, const char* value);
  // The value of the first attribute of that name, or null when absent.
  const char* getAttributeValue(const char* name) const;
  // The index of the first attribute of that name at or after start, or
  // kNoAttribute.
  unsigned getAttributeIndex(const char* name, unsigned start = 0) const;
  // Replaces the value at index (null as empty text). False when out of range.
  bool setAttributeValue(unsigned index, const char* value);

  unsigned getAttributeCount() const;
  // Name and value by index; null when out of range.
  const char* getAttributeNameAt(unsigned index) const;
  const char* getAttributeValueAt(unsigned index) const;

  // Never null.
  CVelXmlNodes* getChilds();
  const CVelXmlNodes* getChilds() const;

 private:
  friend class CVelXmlNodes;  // frees deep subtrees without recursion
  CVelXmlNode() = default;

  std::optional<std::string> name_;
  std::vector<std::pair<std::string, std::string>> attributes_;
  CVelXmlNodes children_;
};

#endif  // SETTINGSTORE_XML_VELXMLNODE_H
