#include "xml/XmlNode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <utility>

namespace {

std::string TextOrEmpty(const char* text) { return text ? std::string(text) : std::string(); }

// Up to eight bytes of text as one word, each byte read once, with loads
// that never wait on stores (count is 0 only for empty text).
uint64_t LoadWord(const char* bytes, size_t count) {
  if (count >= 8) {
    uint64_t word;
    std::memcpy(&word, bytes, 8);
    return word;
  }
  if (count >= 4) {  // two halves that overlap for fewer than eight bytes
    uint32_t low;
    uint32_t high;
    std::memcpy(&low, bytes, 4);
    std::memcpy(&high, bytes + count - 4, 4);
    return low | (static_cast<uint64_t>(high) << 32);
  }
  if (count == 0) return 0;
  const auto byte = [bytes](size_t at) {
    return static_cast<uint64_t>(static_cast<unsigned char>(bytes[at]));
  };
  return byte(0) | (byte(count / 2) << 8) | (byte(count - 1) << 16);
}

// ASCII upper case folded to lower case in all eight bytes at once: names
// are hashed and compared a word at a time.
uint64_t FoldedWord(const char* bytes, size_t count) {
  constexpr uint64_t kOnes = 0x0101010101010101ull;
  const uint64_t word = LoadWord(bytes, count);
  const uint64_t low = word & (0x7F * kOnes);
  const uint64_t atLeastA = low + (0x80 - 'A') * kOnes;  // top bit set where low >= 'A'
  const uint64_t aboveZ = low + (0x80 - 'Z' - 1) * kOnes;
  const uint64_t upper = atLeastA & ~aboveZ & ~word & (0x80 * kOnes);
  return word | (upper >> 2);  // 0x80 >> 2 is the case bit 0x20
}

// Element and attribute names are a few bytes: a loop beats calling memcmp.
bool SameBytes(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

uint64_t HashFolded(uint64_t hash, std::string_view text) {
  for (size_t at = 0; at < text.size(); at += 8) {
    hash =
        (hash ^ FoldedWord(text.data() + at, std::min<size_t>(8, text.size() - at))) * 0x9E3779B97F4A7C15ull;
    hash ^= hash >> 32;
  }
  return (hash ^ text.size()) * 0x9E3779B97F4A7C15ull;
}

}  // namespace

// A tree may be far deeper than the stack allows recursion: descendants are
// moved into one work list and freed one by one, each with an empty list.
XmlNodes::~XmlNodes() {
  std::vector<std::unique_ptr<XmlNode>> pending = std::move(nodes_);
  while (!pending.empty()) {
    std::unique_ptr<XmlNode> node = std::move(pending.back());
    pending.pop_back();
    node->owner_ = nullptr;
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
  if (!owned) return;
  nodes_.push_back(std::move(owned));
  try {
    Index(node);
  } catch (...) {
    nodes_.pop_back();  // a child the index misses would never be found
    throw;
  }
  node->owner_ = this;
}

bool XmlNodes::Delete(int index) {
  if (index < 0 || index >= Size()) return false;
  Unindex(nodes_[static_cast<size_t>(index)].get());
  XmlNodes removed;
  removed.nodes_.push_back(std::move(nodes_[static_cast<size_t>(index)]));
  nodes_.erase(nodes_.begin() + index);
  return true;  // `removed` frees the child as the list's own destructor does
}

XmlNode* XmlNodes::Find(std::string_view tag, std::string_view name) const {
  const KeyView key{tag, name};
  const Slot* slot = Lookup(key, Hash(key));
  return slot == nullptr ? nullptr : slot->first;
}

int XmlNodes::IndexOf(const XmlNode* node) const {
  const auto found =
      std::find_if(nodes_.begin(), nodes_.end(), [node](const auto& child) { return child.get() == node; });
  return found == nodes_.end() ? -1 : static_cast<int>(found - nodes_.begin());
}

// The tag counts by its length only: a section and a key of one name are
// rare neighbours, told apart by Same.
uint64_t XmlNodes::Hash(const KeyView& key) {
  const uint64_t hash = HashFolded(key.tag.size(), key.name);
  return hash ^ (hash >> 29);
}

bool XmlNodes::Same(const KeyView& a, const KeyView& b) {
  if (!SameBytes(a.tag, b.tag) || a.name.size() != b.name.size()) return false;
  for (size_t at = 0; at < a.name.size(); at += 8) {
    const size_t count = std::min<size_t>(8, a.name.size() - at);
    if (FoldedWord(a.name.data() + at, count) != FoldedWord(b.name.data() + at, count)) return false;
  }
  return true;
}

bool XmlNodes::KeyOf(const XmlNode* node, KeyView* key) {
  if (!node->name_) return false;
  for (const auto& [name, value] : node->attributes_) {
    if (SameBytes(name, XmlNode::kNameAttribute)) {
      *key = KeyView{*node->name_, value};
      return true;
    }
  }
  return false;
}

XmlNodes::Slot* XmlNodes::Lookup(const KeyView& key, uint64_t hash) const {
  if (slots_.empty()) return nullptr;
  const size_t mask = slots_.size() - 1;
  for (size_t index = hash & mask;; index = (index + 1) & mask) {
    const Slot& slot = slots_[index];
    if (slot.first == nullptr) return nullptr;
    KeyView held;
    if (slot.hash == hash && KeyOf(slot.first, &held) && Same(held, key)) return const_cast<Slot*>(&slot);
  }
}

void XmlNodes::Grow() {
  std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.empty() ? 8 : slots_.size() * 2));
  const size_t mask = slots_.size() - 1;
  for (const Slot& slot : old) {
    if (slot.first == nullptr) continue;
    size_t index = slot.hash & mask;
    while (slots_[index].first != nullptr) index = (index + 1) & mask;
    slots_[index] = slot;
  }
}

// Backward-shift deletion: later slots of the probe run move up, so that a
// lookup never stops early at the freed slot.
void XmlNodes::FreeSlot(size_t index) {
  const size_t mask = slots_.size() - 1;
  for (size_t next = (index + 1) & mask; slots_[next].first != nullptr; next = (next + 1) & mask) {
    const size_t home = slots_[next].hash & mask;
    // The entry at `next` may fill the hole unless its home lies after the
    // hole, cyclically, up to `next`.
    const bool homeBetween = index <= next ? (home > index && home <= next) : (home > index || home <= next);
    if (!homeBetween) {
      slots_[index] = slots_[next];
      index = next;
    }
  }
  slots_[index] = Slot{};
  --used_;
}

// A node joins its key's slot; it becomes the slot's first when it stands
// before the current first (a rename), not when it is appended.
void XmlNodes::Index(XmlNode* node) {
  KeyView key;
  if (!KeyOf(node, &key)) return;
  const uint64_t hash = Hash(key);
  if (Slot* slot = Lookup(key, hash)) {
    ++slot->count;
    if (node != nodes_.back().get() && IndexOf(node) < IndexOf(slot->first)) slot->first = node;
    return;
  }
  if ((used_ + 1) * 4 > slots_.size() * 3) Grow();  // at most three quarters full
  const size_t mask = slots_.size() - 1;
  size_t index = hash & mask;
  while (slots_[index].first != nullptr) index = (index + 1) & mask;
  slots_[index] = Slot{hash, node, 1};
  ++used_;
}

void XmlNodes::Unindex(const XmlNode* node) {
  KeyView key;
  if (!KeyOf(node, &key)) return;
  Slot* slot = Lookup(key, Hash(key));
  if (slot == nullptr) return;
  if (--slot->count == 0) return FreeSlot(static_cast<size_t>(slot - slots_.data()));
  if (slot->first != node) return;
  for (const auto& child : nodes_) {
    KeyView other;
    if (child.get() != node && KeyOf(child.get(), &other) && Same(other, key)) {
      slot->first = child.get();
      return;
    }
  }
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

template <class Change>
void XmlNode::Rekey(Change change) {
  if (owner_ == nullptr) return change();
  owner_->Unindex(this);
  try {
    change();
  } catch (...) {
    owner_->Index(this);
    throw;
  }
  owner_->Index(this);
}

bool XmlNode::Detach() { return (state_.fetch_or(kRemoved, std::memory_order_acq_rel) & ~kRemoved) != 0; }

void XmlNode::SetName(const char* name) {
  Rekey([&] {
    if (name) {
      name_ = name;
    } else {
      name_.reset();
    }
  });
}

const char* XmlNode::Name() const { return name_ ? name_->c_str() : nullptr; }

void XmlNode::AddAttribute(const char* name, const char* value) {
  const auto add = [&] { attributes_.emplace_back(TextOrEmpty(name), TextOrEmpty(value)); };
  if (name != nullptr && std::strcmp(name, kNameAttribute) == 0) {
    Rekey(add);
  } else {
    add();
  }
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
  std::string& stored = attributes_[index].second;
  if (attributes_[index].first == kNameAttribute) {
    Rekey([&] { stored = TextOrEmpty(value); });
  } else {
    stored = TextOrEmpty(value);
  }
  return true;
}

void XmlNode::GetAttributeValues(const std::string_view* names, std::string_view* values,
                                 size_t count) const {
  std::fill(values, values + count, std::string_view());
  for (const auto& [name, value] : attributes_) {
    for (size_t i = 0; i < count; ++i) {
      if (SameBytes(name, names[i])) {
        if (values[i].data() == nullptr) values[i] = value;
        break;
      }
    }
  }
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
