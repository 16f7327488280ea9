#include "SharedStorage/ChildIndex.h"

#include <utility>

namespace storage {

std::mutex ChildIndex::mutex_;
std::unordered_map<uint32_t, ChildIndex::Entry> ChildIndex::sections_;

ChildIndex::Answer ChildIndex::find(uint32_t section, uint32_t changes, uint64_t key) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto entry = sections_.find(section);
  if (entry == sections_.end() || !entry->second.recorded || entry->second.changes != changes) {
    return {false, kUnknown, kUnknown};
  }
  const auto child = entry->second.children.find(key);
  return {true, child == entry->second.children.end() ? kUnknown : child->second, entry->second.last};
}

bool ChildIndex::worthRecording(uint32_t section, uint32_t changes) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (sections_.size() >= kMaxSections && !sections_.contains(section)) sections_.clear();
  Entry& entry = sections_[section];
  if (entry.changes == changes) return true;
  entry = Entry{changes, false, {}, kUnknown};
  return false;
}

void ChildIndex::record(uint32_t section, uint32_t changes, Children children, uint32_t last) {
  std::lock_guard<std::mutex> guard(mutex_);
  sections_[section] = Entry{changes, true, std::move(children), last};
}

void ChildIndex::appended(uint32_t section, uint32_t before, uint32_t after, uint64_t key, uint32_t child) {
  std::lock_guard<std::mutex> guard(mutex_);
  const auto entry = sections_.find(section);
  if (entry == sections_.end() || !entry->second.recorded || entry->second.changes != before) return;
  entry->second.children.emplace(key, child);
  entry->second.last = child;
  entry->second.changes = after;
}

void ChildIndex::clear() {
  std::lock_guard<std::mutex> guard(mutex_);
  sections_.clear();
}

}  // namespace storage
