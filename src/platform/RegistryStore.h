// A registry tree behind the ten registry operations (Registry.h). The
// operations parse paths, check handles and fill the caller's buffers; a store
// only finds, reads and changes keys and values, each call one transaction.
// Keys are known by ids that are never reused, so the id of a deleted key
// stays dead and answers kRegKeyDeleted.
#ifndef SETTINGSTORE_PLATFORM_REGISTRYSTORE_H
#define SETTINGSTORE_PLATFORM_REGISTRYSTORE_H

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Registry.h"

namespace storage::platform {

class RegistryStore {
 public:
  using KeyId = int64_t;
  // The roots have these ids in every store.
  static constexpr KeyId kClassesRootId = 1;
  static constexpr KeyId kCurrentUserId = 2;
  static constexpr KeyId kLocalMachineId = 3;

  struct Value {
    DWORD type = REG_NONE;
    std::string data;  // raw bytes
  };
  struct KeyInfo {
    DWORD subKeys = 0;
    DWORD maxSubKeyLength = 0;
    DWORD values = 0;
    DWORD maxValueNameLength = 0;
    DWORD maxValueLength = 0;
  };
  using Path = std::vector<std::string_view>;  // the levels, none empty

  virtual ~RegistryStore() = default;

  // The key at `path` below `parent` (parent itself for an empty path);
  // with `create`, every missing level is made.
  virtual LSTATUS OpenKey(KeyId parent, const Path& path, bool create, KeyId* key) = 0;
  // Deletes the key at the non-empty `path` with its values; 5 while it has sub-keys.
  virtual LSTATUS DeleteKey(KeyId parent, const Path& path) = 0;
  virtual LSTATUS QueryValue(KeyId key, std::string_view name, Value* value) = 0;
  virtual LSTATUS SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) = 0;
  virtual LSTATUS DeleteValue(KeyId key, std::string_view name) = 0;
  virtual LSTATUS QueryInfo(KeyId key, KeyInfo* info) = 0;
  // Sub-keys are enumerated in case-insensitive name order, values in the
  // order they were first set; 259 past the last.
  virtual LSTATUS EnumKey(KeyId key, DWORD index, std::string* name) = 0;
  virtual LSTATUS EnumValue(KeyId key, DWORD index, std::string* name, Value* value) = 0;
  // A number that moves whenever any connection, of any process, commits a
  // change to the store.
  virtual uint64_t CommitCount() = 0;
};

// The persistent store in this SQLite database file, made with its directories
// when missing; null (and an error logged) when it cannot be opened.
std::shared_ptr<RegistryStore> OpenPersistentRegistry(const std::string& path);

}  // namespace storage::platform

#endif  // SETTINGSTORE_PLATFORM_REGISTRYSTORE_H
