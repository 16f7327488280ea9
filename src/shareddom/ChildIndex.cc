#include "shareddom/ChildIndex.h"

namespace storage {

size_t ChildIndex::KeyHash::operator()(const Key& key) const noexcept {
  const uint64_t mixed = (uint64_t{key.parent} << 32 | key.name) * 0x9E3779B97F4A7C15ULL ^ key.kind;
  return static_cast<size_t>(mixed ^ (mixed >> 29));
}

uint32_t ChildIndex::Find(uint32_t parent, uint32_t kind, uint32_t name, uint32_t changes) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto found = entries_.find(Key{parent, kind, name});
  return found != entries_.end() && found->second.changes == changes ? found->second.child : kNone;
}

void ChildIndex::Remember(uint32_t parent, uint32_t kind, uint32_t name, uint32_t changes, uint32_t child) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (entries_.size() >= kMaxEntries) entries_.clear();
  entries_.insert_or_assign(Key{parent, kind, name}, Entry{changes, child});
}

}  // namespace storage
