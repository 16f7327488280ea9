// Pieces the registry tests share: a handle that closes itself, the active
// store switched for the test's duration, and string values read and written.
#ifndef SETTINGSTORE_TESTS_REGISTRY_REGISTRYTESTSUPPORT_H
#define SETTINGSTORE_TESTS_REGISTRY_REGISTRYTESTSUPPORT_H

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "platform/Registry.h"
#include "platform/RegistryStore.h"
#include "support/MemoryRegistry.h"
#include "support/TempDirectory.h"

namespace settingstore::test {

namespace reg = storage::platform;

// An open key, closed when it goes out of scope.
class KeyHandle {
 public:
  KeyHandle() = default;
  ~KeyHandle() { Close(); }
  KeyHandle(const KeyHandle&) = delete;
  KeyHandle& operator=(const KeyHandle&) = delete;

  reg::HKEY* Out() {
    Close();
    return &key_;
  }
  reg::HKEY get() const { return key_; }
  reg::LSTATUS Close() {
    const reg::LSTATUS result = key_ ? reg::RegCloseKey(key_) : reg::kRegSuccess;
    key_ = nullptr;
    return result;
  }

 private:
  reg::HKEY key_ = nullptr;
};

// Makes `store` the active registry store until the end of the scope; the
// persistent default is active again afterwards.
class ActiveStore {
 public:
  explicit ActiveStore(std::shared_ptr<reg::RegistryStore> store) : store_(std::move(store)) {
    reg::UseRegistryStore(store_);
  }
  ~ActiveStore() { reg::UseRegistryStore(nullptr); }
  ActiveStore(const ActiveStore&) = delete;
  ActiveStore& operator=(const ActiveStore&) = delete;

 private:
  std::shared_ptr<reg::RegistryStore> store_;
};

inline reg::LSTATUS SetString(reg::HKEY key, const char* name, const std::string& text,
                              reg::DWORD type = reg::REG_SZ) {
  return reg::RegSetValueExA(key, name, 0, type, reinterpret_cast<const uint8_t*>(text.c_str()),
                             static_cast<reg::DWORD>(text.size() + 1));
}

// The value's bytes as text (terminator dropped), or "<code N>" on failure.
inline std::string GetString(reg::HKEY key, const char* name) {
  char buffer[512];
  reg::DWORD size = sizeof buffer;
  const reg::LSTATUS result =
      reg::RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<uint8_t*>(buffer), &size);
  if (result != reg::kRegSuccess) return "<code " + std::to_string(result) + ">";
  return std::string(buffer, size > 0 && buffer[size - 1] == '\0' ? size - 1 : size);
}

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_REGISTRY_REGISTRYTESTSUPPORT_H
