#include "support/MemoryRegistry.h"

#include <algorithm>
#include <cstdint>
#include <unordered_map>
#include <utility>

namespace storage::platform {

namespace {

char Fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Orders names as the persistent store does: bytes compared with ASCII
// letters folded to lower case.
struct CaseInsensitiveLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return static_cast<unsigned char>(Fold(x)) < static_cast<unsigned char>(Fold(y));
    });
  }
};

struct SameName {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const {
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return Fold(x) == Fold(y); });
  }
};

// Eight bytes at a time, ASCII upper case folded to lower case in all of
// them at once: names of benchmarks are 16 bytes long.
struct FoldedHash {
  using is_transparent = void;
  size_t operator()(std::string_view name) const {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    uint64_t hash = name.size();
    for (size_t at = 0; at < name.size(); at += 8) {
      uint64_t word = 0;
      for (size_t i = at; i < std::min(at + 8, name.size()); ++i) {
        word |= static_cast<uint64_t>(static_cast<unsigned char>(name[i])) << (8 * (i - at));
      }
      const uint64_t low = word & (0x7F * kOnes);
      const uint64_t upper =
          (low + (0x80 - 'A') * kOnes) & ~(low + (0x80 - 'Z' - 1) * kOnes) & ~word & (0x80 * kOnes);
      hash = (hash ^ (word | (upper >> 2))) * 0x9E3779B97F4A7C15ull;
      hash ^= hash >> 32;
    }
    return static_cast<size_t>(hash);
  }
};

}  // namespace

struct MemoryRegistry::Node {
  // Keyed by the first spelling; found and ordered regardless of case.
  std::map<std::string, KeyId, CaseInsensitiveLess> children;
  // In the order first set, found through the positions in `positions`.
  std::vector<std::pair<std::string, Value>> values;
  std::unordered_map<std::string, size_t, FoldedHash, SameName> positions;

  Value* FindValue(std::string_view name) {
    const auto found = positions.find(name);
    return found == positions.end() ? nullptr : &values[found->second].second;
  }
  void AddValue(std::string_view name, Value value) {
    positions.emplace(std::string(name), values.size());
    try {
      values.emplace_back(std::string(name), std::move(value));
    } catch (...) {
      positions.erase(positions.find(name));
      throw;
    }
  }
  bool EraseValue(std::string_view name) {
    const auto found = positions.find(name);
    if (found == positions.end()) return false;
    const size_t position = found->second;
    positions.erase(found);
    values.erase(values.begin() + static_cast<std::ptrdiff_t>(position));
    for (auto& entry : positions) entry.second -= entry.second > position ? 1 : 0;
    return true;
  }
};

MemoryRegistry::MemoryRegistry() {
  for (KeyId root : {kClassesRootId, kCurrentUserId, kLocalMachineId}) {
    nodes_.emplace(root, std::make_unique<Node>());
  }
  AddKey(nodes_[kCurrentUserId].get(), "Software");
  AddKey(nodes_[kLocalMachineId].get(), "Software");
}

MemoryRegistry::~MemoryRegistry() = default;

void MemoryRegistry::InjectResult(RegOperation operation, LSTATUS result, unsigned times) {
  std::lock_guard lock(mutex_);
  injections_.fill(Injection{});
  injections_[static_cast<size_t>(operation)] = Injection{result, times};
  calls_.fill(0);
}

unsigned MemoryRegistry::CallCount(RegOperation operation) const {
  std::lock_guard lock(mutex_);
  return calls_[static_cast<size_t>(operation)];
}

LSTATUS MemoryRegistry::Enter(RegOperation operation, KeyId key, Node** node) {
  const auto index = static_cast<size_t>(operation);
  ++calls_[index];
  Injection& injection = injections_[index];
  if (injection.remaining != 0) {
    if (injection.remaining != kForever) --injection.remaining;
    return injection.result;
  }
  *node = Find(key);
  return *node == nullptr ? kRegKeyDeleted : kRegSuccess;
}

MemoryRegistry::Node* MemoryRegistry::Find(KeyId key) {
  const auto found = nodes_.find(key);
  return found == nodes_.end() ? nullptr : found->second.get();
}

RegistryStore::KeyId MemoryRegistry::AddKey(Node* parent, std::string_view name) {
  const KeyId id = nextId_++;
  parent->children.emplace(std::string(name), id);
  nodes_.emplace(id, std::make_unique<Node>());
  return id;
}

LSTATUS MemoryRegistry::OpenKey(KeyId parent, const Path& path, bool create, KeyId* key) {
  std::lock_guard lock(mutex_);
  if (create) ++writes_;
  Node* node;
  const RegOperation operation = create ? RegOperation::kCreateKey : RegOperation::kOpenKey;
  if (const LSTATUS result = Enter(operation, parent, &node)) return result;
  KeyId current = parent;
  for (const std::string_view level : path) {
    const auto child = node->children.find(level);
    if (child != node->children.end()) {
      current = child->second;
    } else if (create) {
      current = AddKey(node, level);
    } else {
      return kRegNotFound;
    }
    node = Find(current);
  }
  *key = current;
  return kRegSuccess;
}

LSTATUS MemoryRegistry::DeleteKey(KeyId parent, const Path& path) {
  std::lock_guard lock(mutex_);
  ++writes_;
  Node* owner;
  if (const LSTATUS result = Enter(RegOperation::kDeleteKey, parent, &owner)) return result;
  for (size_t level = 0; level + 1 < path.size(); ++level) {
    const auto child = owner->children.find(path[level]);
    if (child == owner->children.end()) return kRegNotFound;
    owner = Find(child->second);
  }
  const auto target = owner->children.find(path.back());
  if (target == owner->children.end()) return kRegNotFound;
  if (!Find(target->second)->children.empty()) return kRegAccessDenied;
  nodes_.erase(target->second);
  owner->children.erase(target);
  return kRegSuccess;
}

LSTATUS MemoryRegistry::QueryValue(KeyId key, std::string_view name, Value* value) {
  std::lock_guard lock(mutex_);
  Node* node;
  if (const LSTATUS result = Enter(RegOperation::kQueryValue, key, &node)) return result;
  const Value* found = node->FindValue(name);
  if (found == nullptr) return kRegNotFound;
  *value = *found;
  return kRegSuccess;
}

LSTATUS MemoryRegistry::SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) {
  std::lock_guard lock(mutex_);
  ++writes_;
  Node* node;
  if (const LSTATUS result = Enter(RegOperation::kSetValue, key, &node)) return result;
  Value value{type, std::string(data)};
  if (Value* found = node->FindValue(name)) {
    *found = std::move(value);
  } else {
    node->AddValue(name, std::move(value));
  }
  return kRegSuccess;
}

LSTATUS MemoryRegistry::DeleteValue(KeyId key, std::string_view name) {
  std::lock_guard lock(mutex_);
  ++writes_;
  Node* node;
  if (const LSTATUS result = Enter(RegOperation::kDeleteValue, key, &node)) return result;
  return node->EraseValue(name) ? kRegSuccess : kRegNotFound;
}

LSTATUS MemoryRegistry::QueryInfo(KeyId key, KeyInfo* info) {
  std::lock_guard lock(mutex_);
  Node* node;
  if (const LSTATUS result = Enter(RegOperation::kQueryInfoKey, key, &node)) return result;
  *info = KeyInfo{};
  info->subKeys = static_cast<DWORD>(node->children.size());
  for (const auto& child : node->children) {
    info->maxSubKeyLength = std::max(info->maxSubKeyLength, static_cast<DWORD>(child.first.size()));
  }
  info->values = static_cast<DWORD>(node->values.size());
  for (const auto& [name, value] : node->values) {
    info->maxValueNameLength = std::max(info->maxValueNameLength, static_cast<DWORD>(name.size()));
    info->maxValueLength = std::max(info->maxValueLength, static_cast<DWORD>(value.data.size()));
  }
  return kRegSuccess;
}

LSTATUS MemoryRegistry::EnumKey(KeyId key, DWORD index, std::string* name) {
  std::lock_guard lock(mutex_);
  Node* node;
  if (const LSTATUS result = Enter(RegOperation::kEnumKey, key, &node)) return result;
  if (index >= node->children.size()) return kRegNoMoreItems;
  *name = std::next(node->children.begin(), index)->first;
  return kRegSuccess;
}

LSTATUS MemoryRegistry::EnumValue(KeyId key, DWORD index, std::string* name, Value* value) {
  std::lock_guard lock(mutex_);
  Node* node;
  if (const LSTATUS result = Enter(RegOperation::kEnumValue, key, &node)) return result;
  if (index >= node->values.size()) return kRegNoMoreItems;
  *name = node->values[index].first;
  *value = node->values[index].second;
  return kRegSuccess;
}

uint64_t MemoryRegistry::CommitCount() {
  std::lock_guard lock(mutex_);
  return writes_;
}

}  // namespace storage::platform
