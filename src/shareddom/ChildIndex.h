// What this process found in the child lists it searched: a child's address
// by parent, kind and name, with the change count of the parent's list when
// it was found. Writers move the count, under the parent's lock, before they
// link or unlink a child, and a killed writer has moved it before it touched
// the list; so an entry whose count is still the parent's names a child that
// is still in the list. Only children found are remembered, never absences.
#ifndef SETTINGSTORE_SHAREDDOM_CHILDINDEX_H
#define SETTINGSTORE_SHAREDDOM_CHILDINDEX_H

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "shm/InitMemAddress.h"

namespace storage {

class ChildIndex {
 public:
  static constexpr uint32_t kNone = InitMemAddress::kNull;

  // The child remembered under this parent, kind and name as of `changes`,
  // or kNone.
  uint32_t Find(uint32_t parent, uint32_t kind, uint32_t name, uint32_t changes);
  void Remember(uint32_t parent, uint32_t kind, uint32_t name, uint32_t changes, uint32_t child);

 private:
  struct Key {
    uint32_t parent;
    uint32_t kind;
    uint32_t name;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const noexcept;
  };
  struct Entry {
    uint32_t changes;
    uint32_t child;
  };
  // Beyond this many entries everything is forgotten at once.
  static constexpr size_t kMaxEntries = size_t{1} << 16;

  std::mutex mutex_;
  std::unordered_map<Key, Entry, KeyHash> entries_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_CHILDINDEX_H
