#include "registry/RegistryStorage.h"

#include <vector>

#include "registry/RegistryStorageKey.h"

namespace storage {

using namespace platform;

IStorageKey* RegistryStorage::OpenKey(const char* name) {
  if (name == nullptr) throw OpenException(kErrorFailed);
  const LSTATUS result = ValueExists(name);
  if (result != kRegSuccess) return RetryOrThrow<OpenException>(result, [&] { return OpenKey(name); });
  return new RegistryStorageKey(key_, name);
}

IStorageKey* RegistryStorage::CreateKey(const char* name) {
  if (name == nullptr) throw CreateException(kErrorFailed);
  const LSTATUS result = ValueExists(name);
  // A missing value is no failure here; any other failure is a failed creation.
  if (result == kRegMoreData) return RetryOrThrow<CreateException>(result, [&] { return CreateKey(name); });
  if (result != kRegSuccess && result != kRegNotFound) throw CreateException(kErrorFailed);
  return new RegistryStorageKey(key_, name);
}

IStorageSection* RegistryStorage::OpenSection(const char* path) {
  if (path == nullptr || *path == '\0') throw OpenException(kErrorFailed);
  return new RegistryStorage(RegistryKeyHandle(OpenSubKey(key_.get(), path)));
}

IStorageSection* RegistryStorage::CreateSection(const char* path) {
  if (path == nullptr || *path == '\0') throw CreateException(kErrorFailed);
  return new RegistryStorage(RegistryKeyHandle(CreateSubKey(key_.get(), path)));
}

bool RegistryStorage::DeleteSection(const char* path) {
  if (path == nullptr || *path == '\0') throw DeleteException(kErrorMissingName);
  DWORD subKeys = 0;
  DWORD values = 0;
  LSTATUS result = CountChildren(path, &subKeys, &values);
  if (result == kRegSuccess) {
    if (subKeys != 0 || values != 0) throw NotEmptyException(kErrorFailed);
    result = RegDeleteKeyA(key_.get(), path);
  }
  if (result != kRegSuccess) {
    return RetryOrThrow<DeleteException>(result, [&] { return DeleteSection(path); });
  }
  return true;
}

bool RegistryStorage::DeleteKey(const char* name) {
  LSTATUS result = ValueExists(name);
  if (result == kRegSuccess) result = RegDeleteValueA(key_.get(), name);
  if (result != kRegSuccess) return RetryOrThrow<DeleteException>(result, [&] { return DeleteKey(name); });
  return true;
}

INamesEnumerator* RegistryStorage::EnumKeys() {
  const HKEY key = key_.get();
  DWORD longest = 0;
  LSTATUS result = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                    &longest, nullptr, nullptr, nullptr);
  Ref<NamesEnumerator> names(new NamesEnumerator);
  if (result == kRegSuccess) {
    result = CollectNames(
        longest,
        [key](DWORD index, char* buffer, DWORD size) {
          return RegEnumValueA(key, index, buffer, &size, nullptr, nullptr, nullptr, nullptr);
        },
        // The empty name is the default value; list it only while it holds data.
        [this](const char* name) { return *name != '\0' || ValueExists(nullptr) == kRegSuccess; }, *names);
  }
  if (result != kRegSuccess) {
    names.reset();
    return RetryOrThrow<IOException>(result, [this] { return EnumKeys(); });
  }
  return names.release();
}

INamesEnumerator* RegistryStorage::EnumSections() {
  const HKEY key = key_.get();
  DWORD longest = 0;
  LSTATUS result = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, &longest, nullptr, nullptr,
                                    nullptr, nullptr, nullptr, nullptr);
  Ref<NamesEnumerator> names(new NamesEnumerator);
  if (result == kRegSuccess) {
    result = CollectNames(
        longest,
        [key](DWORD index, char* buffer, DWORD size) { return RegEnumKeyA(key, index, buffer, size); },
        [](const char*) { return true; }, *names);
  }
  if (result != kRegSuccess) {
    names.reset();
    return RetryOrThrow<IOException>(result, [this] { return EnumSections(); });
  }
  return names.release();
}

HKEY RegistryStorage::OpenSubKey(HKEY parent, const char* path) {
  HKEY subKey = nullptr;
  const LSTATUS result = RegOpenKeyA(parent, path, &subKey);
  if (result != kRegSuccess) {
    return RetryOrThrow<OpenException>(result, [&] { return OpenSubKey(parent, path); });
  }
  return subKey;
}

HKEY RegistryStorage::CreateSubKey(HKEY parent, const char* path) {
  HKEY subKey = nullptr;
  const LSTATUS result = RegCreateKeyA(parent, path, &subKey);
  if (result != kRegSuccess) {
    return RetryOrThrow<CreateException>(result, [&] { return CreateSubKey(parent, path); });
  }
  return subKey;
}

LSTATUS RegistryStorage::CountChildren(const char* path, DWORD* subKeys, DWORD* values) {
  HKEY subKey = nullptr;
  LSTATUS result = RegOpenKeyA(key_.get(), path, &subKey);
  if (result != kRegSuccess) return result;
  result = RegQueryInfoKeyA(subKey, nullptr, nullptr, nullptr, subKeys, nullptr, nullptr, values, nullptr,
                            nullptr, nullptr, nullptr);
  RegCloseKey(subKey);
  return result;
}

LSTATUS RegistryStorage::ValueExists(const char* name) {
  return RegQueryValueExA(key_.get(), name, nullptr, nullptr, nullptr, nullptr);
}

template <class NameAt, class Keep>
LSTATUS RegistryStorage::CollectNames(DWORD longest, NameAt nameAt, Keep keep, NamesEnumerator& names) {
  std::vector<char> buffer(longest + 1);
  for (DWORD index = 0;; ++index) {
    const LSTATUS result = nameAt(index, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (result == kRegNoMoreItems) return kRegSuccess;
    if (result != kRegSuccess) return result;
    if (keep(buffer.data())) names.Add(buffer.data());
  }
}

ISectionWatch* RegistryStorage::Watch(bool subtree) {
  const platform::HKEY key = key_.get();
  auto makeWatch = [key, subtree]() -> ChangeHub::OutsideWait {
    auto watch = std::make_shared<platform::RegistryChangeWatch>(key, subtree);
    return [watch](uint32_t milliseconds) { return watch->Wait(milliseconds); };
  };
  return new SectionWatch(this, std::make_shared<ChangeHub>(nullptr, makeWatch), subtree);
}

}  // namespace storage
