// A registry store held in this process's memory, for tests. It can be told
// to answer a chosen result code from one operation (for example 234 on every
// call, or on the next few calls) and counts the calls of each operation.
#ifndef SETTINGSTORE_TESTS_SUPPORT_MEMORYREGISTRY_H
#define SETTINGSTORE_TESTS_SUPPORT_MEMORYREGISTRY_H

#include <array>
#include <map>
#include <memory>
#include <mutex>

#include "platform/RegistryStore.h"

namespace storage::platform {

// The store operations, as the registry calls reach them.
enum class RegOperation {
  kOpenKey,       // RegOpenKeyA
  kCreateKey,     // RegCreateKeyA
  kQueryValue,    // RegQueryValueExA
  kSetValue,      // RegSetValueExA
  kDeleteValue,   // RegDeleteValueA
  kDeleteKey,     // RegDeleteKeyA
  kQueryInfoKey,  // RegQueryInfoKeyA
  kEnumKey,       // RegEnumKeyA
  kEnumValue,     // RegEnumValueA
  kCount
};

class MemoryRegistry : public RegistryStore {
 public:
  static constexpr unsigned kForever = ~0u;

  // Holds the three roots and HKCU\Software, HKLM\Software, as a new
  // persistent store does.
  MemoryRegistry();
  ~MemoryRegistry() override;

  // Starts afresh: earlier injections end, every call count is zero, and the
  // next `times` calls of `operation` answer `result` and change nothing.
  void InjectResult(RegOperation operation, LSTATUS result, unsigned times = kForever);
  // Calls of `operation` since the last injection, injected answers included.
  unsigned CallCount(RegOperation operation) const;

  LSTATUS OpenKey(KeyId parent, const Path& path, bool create, KeyId* key) override;
  LSTATUS DeleteKey(KeyId parent, const Path& path) override;
  LSTATUS QueryValue(KeyId key, std::string_view name, Value* value) override;
  LSTATUS SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) override;
  LSTATUS DeleteValue(KeyId key, std::string_view name) override;
  LSTATUS QueryInfo(KeyId key, KeyInfo* info) override;
  LSTATUS EnumKey(KeyId key, DWORD index, std::string* name) override;
  LSTATUS EnumValue(KeyId key, DWORD index, std::string* name, Value* value) override;
  // Every call that may change the store counts, failed ones too.
  uint64_t CommitCount() override;

 private:
  struct Node;
  struct Injection {
    LSTATUS result = kRegSuccess;
    unsigned remaining = 0;
  };

  // Counts the call and finds the key: an injected answer when one is due,
  // else success with *node set, or 1018 for a key that is gone.
  LSTATUS Enter(RegOperation operation, KeyId key, Node** node);
  Node* Find(KeyId key);
  KeyId AddKey(Node* parent, std::string_view name);

  mutable std::mutex mutex_;
  std::map<KeyId, std::unique_ptr<Node>> nodes_;
  KeyId nextId_ = kLocalMachineId + 1;
  uint64_t writes_ = 0;
  std::array<Injection, static_cast<size_t>(RegOperation::kCount)> injections_{};
  std::array<unsigned, static_cast<size_t>(RegOperation::kCount)> calls_{};
};

}  // namespace storage::platform

#endif  // SETTINGSTORE_TESTS_SUPPORT_MEMORYREGISTRY_H
