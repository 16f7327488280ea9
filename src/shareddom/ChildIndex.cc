#include "shareddom/ChildIndex.h"

namespace storage {

ChildIndex::Answer ChildIndex::Find(uint32_t parent, uint32_t kind, uint32_t name, uint32_t changes) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto listing = listings_.find(parent);
  if (listing == listings_.end() || listing->second.changes != changes) return {kNone, false, kNone};
  const Listing& known = listing->second;
  if (const auto child = known.children.find(KeyOf(kind, name)); child != known.children.end()) {
    return {child->second, false, kNone};
  }
  return {kNone, known.complete, known.last};
}

void ChildIndex::Add(Listing& listing, const Child& child) {
  if (listing.children.try_emplace(KeyOf(child.kind, child.name), child.address).second) ++entries_;
}

void ChildIndex::Remember(uint32_t parent, uint32_t changes, const std::vector<Child>& children, bool complete) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (entries_ + children.size() > kMaxEntries) {
    listings_.clear();
    entries_ = 0;
  }
  Listing& listing = listings_[parent];
  if (listing.changes != changes) {
    entries_ -= listing.children.size();
    listing = Listing{changes, false, kNone, {}};
  }
  for (const Child& child : children) Add(listing, child);
  if (complete) {
    listing.complete = true;
    listing.last = children.empty() ? kNone : children.back().address;
  }
}

void ChildIndex::Appended(uint32_t parent, uint32_t before, const Child& child) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto listing = listings_.find(parent);
  if (listing == listings_.end()) return;
  if (listing->second.changes != before || entries_ >= kMaxEntries) {
    entries_ -= listing->second.children.size();
    listings_.erase(listing);
    return;
  }
  Listing& known = listing->second;
  known.changes = before + 1;
  Add(known, child);
  known.last = child.address;
}

void ChildIndex::Forget(uint32_t parent) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto listing = listings_.find(parent);
  if (listing == listings_.end()) return;
  entries_ -= listing->second.children.size();
  listings_.erase(listing);
}

}  // namespace storage
