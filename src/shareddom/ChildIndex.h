// What this process knows of the child lists it searched: per parent, the
// children found by kind and name, with the change count of the parent's list
// when they were found, and whether that was every child of the list, so that
// an absence is known as well as a presence. Writers move the count, under
// the parent's lock, before they link or unlink a child, and a killed writer
// has moved it before it touched the list; so a listing whose count is still
// the parent's describes the list as it is. A list this process changes
// itself keeps its listing: the link is entered as the count moves past it.
#ifndef SETTINGSTORE_SHAREDDOM_CHILDINDEX_H
#define SETTINGSTORE_SHAREDDOM_CHILDINDEX_H

#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "shm/InitMemAddress.h"

namespace storage {

class ChildIndex {
 public:
  static constexpr uint32_t kNone = InitMemAddress::kNull;

  struct Child {
    uint32_t kind;
    uint32_t name;
    uint32_t address;
  };
  struct Answer {
    // The child of that kind and name, or kNone.
    uint32_t child;
    // With no such child: whether the listing is complete, so that there is
    // none, and then the list's last child (kNone for an empty list).
    bool absent;
    uint32_t last;
  };

  // What the listing of `parent` as of `changes` says of a kind and name.
  Answer Find(uint32_t parent, uint32_t kind, uint32_t name, uint32_t changes);
  // Children one pass over the list met, in list order; `complete` when the
  // pass reached the end of the list.
  void Remember(uint32_t parent, uint32_t changes, const std::vector<Child>& children, bool complete);
  // This process appended `child` and moved the count from `before`.
  void Appended(uint32_t parent, uint32_t before, const Child& child);
  // This process unlinked a child: the listing is dropped.
  void Forget(uint32_t parent);

 private:
  struct Listing {
    uint32_t changes = 0;
    bool complete = false;
    uint32_t last = kNone;
    std::unordered_map<uint64_t, uint32_t> children;
  };
  static uint64_t KeyOf(uint32_t kind, uint32_t name) { return uint64_t{kind} << 32 | name; }
  void Add(Listing& listing, const Child& child);

  // Beyond this many children in all, everything is forgotten at once.
  static constexpr size_t kMaxEntries = size_t{1} << 20;

  std::mutex mutex_;
  std::unordered_map<uint32_t, Listing> listings_;
  size_t entries_ = 0;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_CHILDINDEX_H
