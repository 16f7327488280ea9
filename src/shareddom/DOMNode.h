// The records of the shared DOM tree as they lie in shared memory. Every word
// is a little-endian 32-bit value that other processes change at the same
// time, so each one is read and written only through std::atomic_ref.
//
// Element node, 16 bytes: 0 next sibling, 4 kind word (kind SID, bit 31 the
// delete mark; 0 for the root), 8 first child, 12 first attribute.
// Attribute node, 12 bytes: 0 next attribute, 4 name word (name SID, bit 31
// the delete mark), 8 value SID.
// Root holder, 4 bytes: the address of the root element; the factory makes no
// other block of that size, which is how the root is found again.
#ifndef SETTINGSTORE_SHAREDDOM_DOMNODE_H
#define SETTINGSTORE_SHAREDDOM_DOMNODE_H

#include <atomic>
#include <cstdint>

#include "shm/InitMemAddress.h"

namespace storage {

// Set in word 1 of a removed node; never cleared. SIDs stay below it, so a
// marked node never matches a name or kind compared with the bit in place.
inline constexpr uint32_t kDeleteMark = 0x80000000;

// What both kinds of node share: word 0 links the node into its list and
// word 1 carries the SID that names it, with the delete mark.
template <int kWords>
class DOMNodeWords {
 public:
  std::atomic_ref<uint32_t> WordAt(int index) { return std::atomic_ref<uint32_t>(words_[index]); }

  std::atomic_ref<uint32_t> LinkWord() { return WordAt(0); }
  std::atomic_ref<uint32_t> SidWord() { return WordAt(1); }

  // Sequentially consistent, like the mark and the unlink, so that a mark set
  // by another thread before it unlinked the node is seen with the unlink.
  bool IsMarked() { return (SidWord().load(std::memory_order_seq_cst) & kDeleteMark) != 0; }
  // Sets bit 31 in one atomic step, so no concurrent change of the word is lost.
  void Mark() { SidWord().fetch_or(kDeleteMark, std::memory_order_seq_cst); }

 private:
  uint32_t words_[kWords];
};

class ElementNode : public DOMNodeWords<4> {
 public:
  std::atomic_ref<uint32_t> NextSiblingWord() { return WordAt(0); }
  std::atomic_ref<uint32_t> KindWord() { return WordAt(1); }
  std::atomic_ref<uint32_t> FirstChildWord() { return WordAt(2); }
  std::atomic_ref<uint32_t> FirstAttributeWord() { return WordAt(3); }
};

class AttributeNode : public DOMNodeWords<3> {
 public:
  std::atomic_ref<uint32_t> NextAttributeWord() { return WordAt(0); }
  std::atomic_ref<uint32_t> NameWord() { return WordAt(1); }
  std::atomic_ref<uint32_t> ValueWord() { return WordAt(2); }
};

class RootHolder {
 public:
  std::atomic_ref<uint32_t> RootWord() { return std::atomic_ref<uint32_t>(root_); }

 private:
  uint32_t root_;
};

static_assert(sizeof(ElementNode) == 16 && sizeof(AttributeNode) == 12 && sizeof(RootHolder) == 4);
static_assert(alignof(ElementNode) == 4 && alignof(AttributeNode) == 4);

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_DOMNODE_H
