#include "xml/XmlNode.h"

#include <iterator>

namespace {

std::string TextOrEmpty(const char* text) { return text ? std::string(text) : std::string(); }

}  // namespace

// A tree may be far deeper than the stack allows recursion: descendants are
// moved into one work list and freed one by one, each with an empty list.
XmlNodes::~XmlNodes() {
  std::vector<std::unique_ptr<XmlNode>> pending = std::move(nodes_);
  while (!pending.empty()) {
    std::unique_ptr<XmlNode> node = std::move(pending.back());
    pending.pop_back();
    if (node->Detach()) {
      (void)node.release();  // its last unpin frees it with its subtree
      continue;
    }
    std::vector<std::unique_ptr<XmlNode>>& grandchildren = node->children_.nodes_;
    std::move(grandchildren.begin(), grandchildren.end(), std::back_inserter(pending));
    grandchildren.clear();
  }
}

int XmlNodes::Size() const { return static_cast<int>(nodes_.size()); }

XmlNode* XmlNodes::At(int index) const {
  if (index < 0 || index >= Size()) return nullptr;
  return nodes_[static_cast<size_t>(index)].get();
}

void XmlNodes::Add(XmlNode* node) {
  std::unique_ptr<XmlNode> owned(node);  // freed, not leaked, if the list cannot grow
  if (owned) nodes_.push_back(std::move(owned));
}

bool XmlNodes::Delete(int index) {
  if (index < 0 || index >= Size()) return false;
  XmlNodes removed;
  removed.nodes_.push_back(std::move(nodes_[static_cast<size_t>(index)]));
  nodes_.erase(nodes_.begin() + index);
  return true;  // `removed` frees the child as the list's own destructor does
}

void XmlNodeDeleter::operator()(XmlNode* node) const {
  XmlNodes owner;
  owner.Add(node);
}

XmlNode* XmlNode::CreateNode() { return new XmlNode(); }

XmlNode::~XmlNode() = default;

void XmlNode::Pin() { state_.fetch_add(1, std::memory_order_relaxed); }

void XmlNode::Unpin() {
  // Whoever makes the count zero after the removal frees the node; the
  // removal itself frees it when no pin is left (see detach).
  if (state_.fetch_sub(1, std::memory_order_acq_rel) == (kRemoved | 1)) delete this;
}

bool XmlNode::IsRemoved() const { return (state_.load(std::memory_order_acquire) & kRemoved) != 0; }

bool XmlNode::Detach() { return (state_.fetch_or(kRemoved, std::memory_order_acq_rel) & ~kRemoved) != 0; }

void XmlNode::SetName(const char* name) {
  if (name) {
    name_ = name;
  } else {
    name_.reset();
  }
}

const char* XmlNode::Name() const { return name_ ? name_->c_str() : nullptr; }

void XmlNode::AddAttribute(const char* name, const char* value) {
  attributes_.emplace_back(TextOrEmpty(name), TextOrEmpty(value));
}

const char* XmlNode::GetAttributeValue(const char* name) const {
  return GetAttributeValueAt(GetAttributeIndex(name));
}

unsigned XmlNode::GetAttributeIndex(const char* name, unsigned start) const {
  if (!name) return kNoAttribute;
  for (size_t i = start; i < attributes_.size(); ++i) {
    if (attributes_[i].first == name) return static_cast<unsigned>(i);
  }
  return kNoAttribute;
}

bool XmlNode::SetAttributeValue(unsigned index, const char* value) {
  if (index >= attributes_.size()) return false;
  attributes_[index].second = TextOrEmpty(value);
  return true;
}

unsigned XmlNode::GetAttributeCount() const { return static_cast<unsigned>(attributes_.size()); }

const char* XmlNode::GetAttributeNameAt(unsigned index) const {
  return index < attributes_.size() ? attributes_[index].first.c_str() : nullptr;
}

const char* XmlNode::GetAttributeValueAt(unsigned index) const {
  return index < attributes_.size() ? attributes_[index].second.c_str() : nullptr;
}

XmlNodes* XmlNode::GetChildren() { return &children_; }

const XmlNodes* XmlNode::GetChildren() const { return &children_; }
