#include "support/MemoryRegistry.h"

namespace storage::platform {

MemoryRegistry::MemoryRegistry() : store_(OpenPersistentRegistry(":memory:")) {}

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

LSTATUS MemoryRegistry::Enter(RegOperation operation) {
  std::lock_guard lock(mutex_);
  const auto index = static_cast<size_t>(operation);
  ++calls_[index];
  Injection& injection = injections_[index];
  if (injection.remaining == 0) return kRegSuccess;
  if (injection.remaining != kForever) --injection.remaining;
  return injection.result;
}

LSTATUS MemoryRegistry::OpenKey(KeyId parent, const Path& path, bool create, KeyId* key) {
  const LSTATUS result = Enter(create ? RegOperation::kCreateKey : RegOperation::kOpenKey);
  return result != kRegSuccess ? result : store_->OpenKey(parent, path, create, key);
}

LSTATUS MemoryRegistry::DeleteKey(KeyId parent, const Path& path) {
  const LSTATUS result = Enter(RegOperation::kDeleteKey);
  return result != kRegSuccess ? result : store_->DeleteKey(parent, path);
}

LSTATUS MemoryRegistry::QueryValue(KeyId key, std::string_view name, Value* value) {
  const LSTATUS result = Enter(RegOperation::kQueryValue);
  return result != kRegSuccess ? result : store_->QueryValue(key, name, value);
}

LSTATUS MemoryRegistry::SetValue(KeyId key, std::string_view name, DWORD type, std::string_view data) {
  const LSTATUS result = Enter(RegOperation::kSetValue);
  return result != kRegSuccess ? result : store_->SetValue(key, name, type, data);
}

LSTATUS MemoryRegistry::DeleteValue(KeyId key, std::string_view name) {
  const LSTATUS result = Enter(RegOperation::kDeleteValue);
  return result != kRegSuccess ? result : store_->DeleteValue(key, name);
}

LSTATUS MemoryRegistry::QueryInfo(KeyId key, KeyInfo* info) {
  const LSTATUS result = Enter(RegOperation::kQueryInfoKey);
  return result != kRegSuccess ? result : store_->QueryInfo(key, info);
}

LSTATUS MemoryRegistry::EnumKey(KeyId key, DWORD index, std::string* name) {
  const LSTATUS result = Enter(RegOperation::kEnumKey);
  return result != kRegSuccess ? result : store_->EnumKey(key, index, name);
}

LSTATUS MemoryRegistry::EnumValue(KeyId key, DWORD index, std::string* name, Value* value) {
  const LSTATUS result = Enter(RegOperation::kEnumValue);
  return result != kRegSuccess ? result : store_->EnumValue(key, index, name, value);
}

}  // namespace storage::platform
