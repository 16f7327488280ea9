// Pieces the registry tests share: a temporary directory per test, a handle
// that closes itself, and the active store switched for the test's duration.
#ifndef SETTINGSTORE_TESTS_REGISTRY_REGISTRYTESTSUPPORT_H
#define SETTINGSTORE_TESTS_REGISTRY_REGISTRYTESTSUPPORT_H

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>

#include "platform/MemoryRegistry.h"
#include "platform/Registry.h"
#include "platform/RegistryStore.h"

namespace settingstore::test {

namespace reg = storage::platform;

class TempDirectory {
 public:
  TempDirectory() {
    static std::atomic<unsigned> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    path_ = std::filesystem::temp_directory_path() /
            ("settingstore-registry-" + std::to_string(stamp) + "-" + std::to_string(++counter));
    std::filesystem::create_directories(path_);
  }
  ~TempDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  TempDirectory(const TempDirectory&) = delete;
  TempDirectory& operator=(const TempDirectory&) = delete;

  std::string File(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

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
