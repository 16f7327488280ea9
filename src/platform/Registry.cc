// The ten registry operations over the active registry store: handles,
// argument checks, path splitting and the callers' buffers live here, so that
// every store answers the same way.
#include "platform/Registry.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <string_view>
#include <unordered_map>

#include "platform/Platform.h"
#include "platform/RegistryStore.h"
#include "storage/storage.h"

namespace storage::platform {

namespace {

using KeyId = RegistryStore::KeyId;

constexpr uintptr_t kFirstRoot = 0x80000000;
constexpr uintptr_t kRootCount = 3;

struct OpenedKey {
  std::shared_ptr<RegistryStore> store;
  KeyId id = 0;
};

// Open handles and the choice of store. Never destroyed: key holders may
// close their handles while the process exits.
class Registry {
 public:
  static Registry& Instance() {
    static Registry* const instance = new Registry;
    return *instance;
  }

  LSTATUS Resolve(HKEY key, OpenedKey* opened) {
    std::lock_guard lock(mutex_);
    const auto value = reinterpret_cast<uintptr_t>(key);
    if (value >= kFirstRoot && value < kFirstRoot + kRootCount) {
      opened->store = ActiveStore();
      opened->id = RegistryStore::kClassesRootId + static_cast<KeyId>(value - kFirstRoot);
      return opened->store ? kRegSuccess : kRegIoFailed;
    }
    const auto found = open_.find(value);
    if (found == open_.end()) return kRegInvalidHandle;
    *opened = found->second;
    return kRegSuccess;
  }

  HKEY Add(OpenedKey opened) {
    std::lock_guard lock(mutex_);
    // Handle values stay clear of the roots' range.
    if (nextHandle_ >= kFirstRoot && nextHandle_ < kFirstRoot + 0x100) nextHandle_ += 0x100;
    const uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    open_.emplace(value, std::move(opened));
    return reinterpret_cast<HKEY>(value);
  }

  LSTATUS Remove(HKEY key) {
    const auto value = reinterpret_cast<uintptr_t>(key);
    if (value >= kFirstRoot && value < kFirstRoot + kRootCount) return kRegSuccess;
    std::shared_ptr<RegistryStore> store;  // released after the lock
    std::lock_guard lock(mutex_);
    const auto found = open_.find(value);
    if (found == open_.end()) return kRegInvalidHandle;
    store = std::move(found->second.store);
    open_.erase(found);
    return kRegSuccess;
  }

  void Choose(std::shared_ptr<RegistryStore> store) {
    std::lock_guard lock(mutex_);
    chosen_ = std::move(store);
  }

  void ChooseDatabase(const char* path) {
    std::shared_ptr<RegistryStore> previous;  // released after the lock
    std::lock_guard lock(mutex_);
    chosen_.reset();
    databasePath_ = path ? path : "";
    previous = std::move(persistent_);
  }

 private:
  Registry() = default;

  // Called with mutex_ held. The persistent store opens on first use, so
  // that a process that never touches the registry never makes its file.
  std::shared_ptr<RegistryStore> ActiveStore() {
    if (chosen_) return chosen_;
    if (!persistent_) {
      persistent_ =
          OpenPersistentRegistry(databasePath_.empty() ? DefaultRegistryDatabasePath() : databasePath_);
    }
    return persistent_;
  }

  std::mutex mutex_;
  std::unordered_map<uintptr_t, OpenedKey> open_;
  uintptr_t nextHandle_ = 0x1000;
  std::shared_ptr<RegistryStore> chosen_;
  std::shared_ptr<RegistryStore> persistent_;
  std::string databasePath_;
};

// Splits "a\b\c" into its levels; null and "" are the key itself.
LSTATUS SplitPath(const char* text, RegistryStore::Path* path) {
  if (text == nullptr || *text == '\0') return kRegSuccess;
  std::string_view rest(text);
  for (;;) {
    const size_t separator = rest.find('\\');
    const std::string_view level = rest.substr(0, separator);
    if (level.empty()) return kRegBadPathname;
    path->push_back(level);
    if (separator == std::string_view::npos) return kRegSuccess;
    rest.remove_prefix(separator + 1);
  }
}

std::string_view ValueName(const char* name) { return name ? std::string_view(name) : ""; }

// Fills the caller's type and data outputs as RegQueryValueExA does.
LSTATUS DeliverValue(const RegistryStore::Value& value, DWORD* type, uint8_t* data, DWORD* dataSize) {
  if (type) *type = value.type;
  if (dataSize == nullptr) return kRegSuccess;
  const auto needed = static_cast<DWORD>(value.data.size());
  if (data && *dataSize < needed) {
    *dataSize = needed;
    return kRegMoreData;
  }
  if (data && needed > 0) std::memcpy(data, value.data.data(), needed);
  *dataSize = needed;
  return kRegSuccess;
}

LSTATUS OpenOrCreate(HKEY key, const char* subKey, bool create, HKEY* result) {
  if (result == nullptr) return kRegInvalidParameter;
  OpenedKey parent;
  if (const LSTATUS status = Registry::Instance().Resolve(key, &parent)) return status;
  RegistryStore::Path path;
  if (const LSTATUS status = SplitPath(subKey, &path)) return status;
  OpenedKey opened{parent.store, 0};
  if (const LSTATUS status = parent.store->OpenKey(parent.id, path, create, &opened.id)) {
    return status;
  }
  *result = Registry::Instance().Add(std::move(opened));
  return kRegSuccess;
}

}  // namespace

LSTATUS RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) {
  return OpenOrCreate(key, subKey, false, result);
}

LSTATUS RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) {
  return OpenOrCreate(key, subKey, true, result);
}

LSTATUS RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, uint8_t* data,
                         DWORD* dataSize) {
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) {
    return kRegInvalidParameter;
  }
  OpenedKey opened;
  if (const LSTATUS status = Registry::Instance().Resolve(key, &opened)) return status;
  // Kept per thread, so that a read in the steady state allocates nothing.
  thread_local RegistryStore::Value value;
  if (const LSTATUS status = opened.store->QueryValue(opened.id, ValueName(valueName), &value)) {
    return status;
  }
  return DeliverValue(value, type, data, dataSize);
}

LSTATUS RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const uint8_t* data,
                       DWORD dataSize) {
  if (reserved != 0 || (data == nullptr && dataSize != 0)) return kRegInvalidParameter;
  OpenedKey opened;
  if (const LSTATUS status = Registry::Instance().Resolve(key, &opened)) return status;
  const std::string_view bytes =
      dataSize ? std::string_view(reinterpret_cast<const char*>(data), dataSize) : "";
  return opened.store->SetValue(opened.id, ValueName(valueName), type, bytes);
}

LSTATUS RegDeleteValueA(HKEY key, const char* valueName) {
  OpenedKey opened;
  if (const LSTATUS status = Registry::Instance().Resolve(key, &opened)) return status;
  return opened.store->DeleteValue(opened.id, ValueName(valueName));
}

LSTATUS RegDeleteKeyA(HKEY key, const char* subKey) {
  RegistryStore::Path path;
  if (const LSTATUS status = SplitPath(subKey, &path)) return status;
  if (path.empty()) return kRegInvalidParameter;  // a key does not delete itself
  OpenedKey opened;
  if (const LSTATUS status = Registry::Instance().Resolve(key, &opened)) return status;
  return opened.store->DeleteKey(opened.id, path);
}

LSTATUS RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classLength, DWORD* reserved, DWORD* subKeys,
                         DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                         DWORD* maxValueNameLength, DWORD* maxValueLength, DWORD* securityDescriptorLength,
                         FILETIME* lastWriteTime) {
  if (reserved != nullptr || (keyClass != nullptr && classLength == nullptr)) {
    return kRegInvalidParameter;
  }
  OpenedKey opened;
  if (const LSTATUS status = Registry::Instance().Resolve(key, &opened)) return status;
  RegistryStore::KeyInfo info;
  if (const LSTATUS status = opened.store->QueryInfo(opened.id, &info)) return status;
  if (keyClass && *classLength > 0) keyClass[0] = '\0';
  if (classLength) *classLength = 0;
  if (subKeys) *subKeys = info.subKeys;
  if (maxSubKeyLength) *maxSubKeyLength = info.maxSubKeyLength;
  if (maxClassLength) *maxClassLength = 0;
  if (values) *values = info.values;
  if (maxValueNameLength) *maxValueNameLength = info.maxValueNameLength;
  if (maxValueLength) *maxValueLength = info.maxValueLength;
  if (securityDescriptorLength) *securityDescriptorLength = 0;
  if (lastWriteTime) *lastWriteTime = FILETIME{0, 0};
  return kRegSuccess;
}

LSTATUS RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameSize) {
  if (name == nullptr) return kRegInvalidParameter;
  OpenedKey opened;
  if (const LSTATUS status = Registry::Instance().Resolve(key, &opened)) return status;
  std::string found;
  if (const LSTATUS status = opened.store->EnumKey(opened.id, index, &found)) return status;
  if (found.size() >= nameSize) return kRegMoreData;
  std::memcpy(name, found.c_str(), found.size() + 1);
  return kRegSuccess;
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved, DWORD* type,
                      uint8_t* data, DWORD* dataSize) {
  if (name == nullptr || nameLength == nullptr || reserved != nullptr ||
      (data != nullptr && dataSize == nullptr)) {
    return kRegInvalidParameter;
  }
  OpenedKey opened;
  if (const LSTATUS status = Registry::Instance().Resolve(key, &opened)) return status;
  std::string found;
  RegistryStore::Value value;
  if (const LSTATUS status = opened.store->EnumValue(opened.id, index, &found, &value)) {
    return status;
  }
  if (found.size() >= *nameLength) return kRegMoreData;
  if (const LSTATUS status = DeliverValue(value, type, data, dataSize)) return status;
  std::memcpy(name, found.c_str(), found.size() + 1);
  *nameLength = static_cast<DWORD>(found.size());
  return kRegSuccess;
}

LSTATUS RegCloseKey(HKEY key) { return Registry::Instance().Remove(key); }

// The store tells only that something was committed, not where: a watch of
// any key wakes for every commit, and its owner looks for what changed.
// SQLite raises no event when a commit becomes visible, so the count is
// looked at every 20 ms while the watch waits.
struct RegistryChangeWatch::State {
  std::shared_ptr<RegistryStore> store;
  uint64_t seen = 0;
};

RegistryChangeWatch::RegistryChangeWatch(HKEY key, bool) : state_(std::make_unique<State>()) {
  OpenedKey opened;
  if (Registry::Instance().Resolve(key, &opened) == kRegSuccess) {
    state_->store = std::move(opened.store);
    state_->seen = state_->store->CommitCount();
  }
}

RegistryChangeWatch::~RegistryChangeWatch() = default;

bool RegistryChangeWatch::Wait(uint32_t milliseconds) {
  constexpr uint32_t kLookEveryMs = 20;
  const uint64_t start = TickCountMs();
  for (;;) {
    const uint64_t count = state_->store ? state_->store->CommitCount() : state_->seen;
    if (count != state_->seen) {
      state_->seen = count;
      return true;
    }
    const uint64_t waited = TickCountMs() - start;
    if (waited >= milliseconds) return false;
    SleepMs(static_cast<uint32_t>(std::min<uint64_t>(kLookEveryMs, milliseconds - waited)));
  }
}

void UseRegistryStore(std::shared_ptr<RegistryStore> store) { Registry::Instance().Choose(std::move(store)); }

void UseRegistryDatabase(const char* path) { Registry::Instance().ChooseDatabase(path); }

}  // namespace storage::platform

namespace storage {

void SetRegistryDatabase(const char* path) { platform::UseRegistryDatabase(path); }

}  // namespace storage
