// The ten registry operations forwarded to the Windows registry (advapi32).
// Registry.h comes before <windows.h>: winreg.h makes macros of the names of
// the roots and value types, and ::HKEY, ::DWORD, ::FILETIME are its own types.
#include "platform/Registry.h"

#include <cstring>
#include <string>
#include <string_view>

#include "storage/storage.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace {

// At global scope, where the system's macros for the roots mean its ::HKEY.
HKEY SystemRoot(uintptr_t index) {
  static const HKEY roots[] = {HKEY_CLASSES_ROOT, HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE};
  return roots[index];
}

}  // namespace

namespace storage::platform {

namespace {

constexpr uintptr_t kFirstRoot = 0x80000000;

// Our roots are zero-extended, the system's sign-extended on 64-bit: the
// roots are mapped by name, other handles are the system's own.
::HKEY ToSystem(HKEY key) {
  const auto value = reinterpret_cast<uintptr_t>(key);
  if (value >= kFirstRoot && value <= kFirstRoot + 2) return SystemRoot(value - kFirstRoot);
  return reinterpret_cast<::HKEY>(key);
}

bool IsRoot(HKEY key) {
  const auto value = reinterpret_cast<uintptr_t>(key);
  return value >= kFirstRoot && value <= kFirstRoot + 2;
}

HKEY FromSystem(::HKEY key) { return reinterpret_cast<HKEY>(key); }

LSTATUS Status(::LSTATUS status) { return static_cast<LSTATUS>(status); }

// Reading and writing; a key the caller may only read (HKEY_LOCAL_MACHINE
// without elevation) is opened for reading, and writes to it answer 5.
constexpr REGSAM kReadWrite = KEY_READ | KEY_WRITE;

// Copies a size out of the system's DWORD when the caller asked for it.
void Deliver(DWORD* to, ::DWORD from) {
  if (to != nullptr) *to = static_cast<DWORD>(from);
}

// A key path names levels between single backslashes; the system would take
// an empty level as the key itself or quietly skip it.
bool WellFormed(const char* path) {
  if (path == nullptr || *path == '\0') return true;
  const std::string_view text(path);
  return text.front() != '\\' && text.back() != '\\' && text.find("\\\\") == std::string_view::npos;
}

// The system's limit on a value name, in characters; longer names are not
// refused everywhere but wrap around and reach another value.
constexpr size_t kMaxValueName = 16383;

bool ValueNameFits(const char* name) { return name == nullptr || std::strlen(name) <= kMaxValueName; }

bool IsText(::DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ; }

std::wstring Wide(const char* text) {
  if (text == nullptr) return {};
  const int length = ::MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
  std::wstring wide(length > 0 ? length : 1, L'\0');
  ::MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), length);
  wide.resize(wide.size() - 1);
  return wide;
}

// A text value with exactly the bytes the host stored. The A calls turn the
// stored UTF-16 into the ANSI code page too, but add a terminator the host did
// not write to a text stored without one; the W call gives the exact length.
LSTATUS ReadText(::HKEY key, const char* valueName, std::string* bytes) {
  const std::wstring name = Wide(valueName);
  ::DWORD size = 0;
  ::LSTATUS status = ::RegQueryValueExW(key, name.c_str(), nullptr, nullptr, nullptr, &size);
  std::wstring text;
  while (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) {
    text.resize(size / sizeof(wchar_t) + 1);
    size = static_cast<::DWORD>(text.size() * sizeof(wchar_t));
    status = ::RegQueryValueExW(key, name.c_str(), nullptr, nullptr, reinterpret_cast<BYTE*>(text.data()), &size);
    if (status == ERROR_SUCCESS) break;
  }
  if (status != ERROR_SUCCESS) return static_cast<LSTATUS>(status);
  const int units = static_cast<int>(size / sizeof(wchar_t));
  const int length = ::WideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr, nullptr);
  bytes->assign(static_cast<size_t>(length), '\0');
  ::WideCharToMultiByte(CP_ACP, 0, text.data(), units, bytes->data(), length, nullptr, nullptr);
  return kRegSuccess;
}

// Fills the caller's data and size as the registry calls do: 234 with the
// needed size when the buffer is short.
LSTATUS DeliverBytes(const std::string& bytes, uint8_t* data, DWORD* dataSize) {
  if (dataSize == nullptr) return kRegSuccess;
  const DWORD room = *dataSize;
  *dataSize = static_cast<DWORD>(bytes.size());
  if (data == nullptr) return kRegSuccess;
  if (room < bytes.size()) return kRegMoreData;
  std::memcpy(data, bytes.data(), bytes.size());
  return kRegSuccess;
}

// The value's type, and for text its exact bytes; other types come from the
// A call unchanged. Text never goes through the caller's buffer in the A call,
// which would write its terminator there.
LSTATUS QueryValue(::HKEY key, const char* valueName, DWORD* type, uint8_t* data, DWORD* dataSize) {
  ::DWORD systemType = 0;
  ::DWORD size = 0;
  ::LSTATUS status = ::RegQueryValueExA(key, valueName, nullptr, &systemType, nullptr, &size);
  if (status != ERROR_SUCCESS) return static_cast<LSTATUS>(status);
  Deliver(type, systemType);
  if (IsText(systemType)) {
    std::string bytes;
    if (const LSTATUS read = ReadText(key, valueName, &bytes)) return read;
    return DeliverBytes(bytes, data, dataSize);
  }
  if (data == nullptr) {
    Deliver(dataSize, size);
    return kRegSuccess;
  }
  size = *dataSize;
  status = ::RegQueryValueExA(key, valueName, nullptr, nullptr, data, &size);
  if (status == ERROR_SUCCESS || status == ERROR_MORE_DATA) Deliver(dataSize, size);
  return static_cast<LSTATUS>(status);
}

}  // namespace

// An empty or null path opens `key` itself anew.
LSTATUS RegOpenKeyA(HKEY key, const char* subKey, HKEY* result) {
  if (result == nullptr) return kRegInvalidParameter;
  if (!WellFormed(subKey)) return kRegBadPathname;
  ::HKEY opened = nullptr;
  ::LSTATUS status = ::RegOpenKeyExA(ToSystem(key), subKey, 0, kReadWrite, &opened);
  if (status == ERROR_ACCESS_DENIED) status = ::RegOpenKeyExA(ToSystem(key), subKey, 0, KEY_READ, &opened);
  if (status == ERROR_SUCCESS) *result = FromSystem(opened);
  return Status(status);
}

LSTATUS RegCreateKeyA(HKEY key, const char* subKey, HKEY* result) {
  if (result == nullptr) return kRegInvalidParameter;
  if (!WellFormed(subKey)) return kRegBadPathname;
  ::HKEY opened = nullptr;
  // RegCreateKeyExA takes no null path; the empty one opens the key itself.
  const char* path = subKey != nullptr ? subKey : "";
  ::LSTATUS status = ::RegCreateKeyExA(ToSystem(key), path, 0, nullptr, REG_OPTION_NON_VOLATILE, kReadWrite,
                                       nullptr, &opened, nullptr);
  if (status == ERROR_SUCCESS) *result = FromSystem(opened);
  return Status(status);
}

LSTATUS RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, uint8_t* data,
                         DWORD* dataSize) {
  if (reserved != nullptr || (data != nullptr && dataSize == nullptr)) return kRegInvalidParameter;
  if (!ValueNameFits(valueName)) return kRegNotFound;
  return QueryValue(ToSystem(key), valueName, type, data, dataSize);
}

LSTATUS RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const uint8_t* data,
                       DWORD dataSize) {
  if (reserved != 0 || (data == nullptr && dataSize != 0) || !ValueNameFits(valueName)) return kRegInvalidParameter;
  // The system stores one byte more of a text whose last byte is no
  // terminator when the byte after it is one; from a copy that ends in
  // another byte, the bytes are stored as given.
  if (IsText(type) && dataSize > 0 && data[dataSize - 1] != 0) {
    std::string copy(reinterpret_cast<const char*>(data), dataSize);
    copy.push_back('\x01');
    return Status(::RegSetValueExA(ToSystem(key), valueName, 0, type, reinterpret_cast<const BYTE*>(copy.data()),
                                   dataSize));
  }
  return Status(::RegSetValueExA(ToSystem(key), valueName, 0, type, data, dataSize));
}

LSTATUS RegDeleteValueA(HKEY key, const char* valueName) {
  if (!ValueNameFits(valueName)) return kRegNotFound;
  return Status(::RegDeleteValueA(ToSystem(key), valueName));
}

// Refused (5) by the system while the sub-key has sub-keys of its own.
LSTATUS RegDeleteKeyA(HKEY key, const char* subKey) {
  if (subKey == nullptr || *subKey == '\0') return kRegInvalidParameter;  // a key does not delete itself
  if (!WellFormed(subKey)) return kRegBadPathname;
  return Status(::RegDeleteKeyA(ToSystem(key), subKey));
}

LSTATUS RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classLength, DWORD* reserved, DWORD* subKeys,
                         DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                         DWORD* maxValueNameLength, DWORD* maxValueLength, DWORD* securityDescriptorLength,
                         FILETIME* lastWriteTime) {
  if (reserved != nullptr || (keyClass != nullptr && classLength == nullptr)) return kRegInvalidParameter;
  ::DWORD systemClassLength = classLength != nullptr ? *classLength : 0;
  ::DWORD counts[7] = {};
  ::FILETIME time{};
  const ::LSTATUS status = ::RegQueryInfoKeyA(
      ToSystem(key), keyClass, classLength ? &systemClassLength : nullptr, nullptr, subKeys ? &counts[0] : nullptr,
      maxSubKeyLength ? &counts[1] : nullptr, maxClassLength ? &counts[2] : nullptr, values ? &counts[3] : nullptr,
      maxValueNameLength ? &counts[4] : nullptr, maxValueLength ? &counts[5] : nullptr,
      securityDescriptorLength ? &counts[6] : nullptr, lastWriteTime ? &time : nullptr);
  if (status != ERROR_SUCCESS) return Status(status);
  Deliver(classLength, systemClassLength);
  Deliver(subKeys, counts[0]);
  Deliver(maxSubKeyLength, counts[1]);
  Deliver(maxClassLength, counts[2]);
  Deliver(values, counts[3]);
  Deliver(maxValueNameLength, counts[4]);
  Deliver(maxValueLength, counts[5]);
  Deliver(securityDescriptorLength, counts[6]);
  if (lastWriteTime != nullptr) {
    *lastWriteTime = FILETIME{static_cast<DWORD>(time.dwLowDateTime), static_cast<DWORD>(time.dwHighDateTime)};
  }
  return kRegSuccess;
}

// nameSize counts the terminator, as the system's name length on entry does.
LSTATUS RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameSize) {
  if (name == nullptr) return kRegInvalidParameter;
  ::DWORD length = nameSize;
  return Status(::RegEnumKeyExA(ToSystem(key), index, name, &length, nullptr, nullptr, nullptr, nullptr));
}

LSTATUS RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved, DWORD* type,
                      uint8_t* data, DWORD* dataSize) {
  if (name == nullptr || nameLength == nullptr || reserved != nullptr ||
      (data != nullptr && dataSize == nullptr)) {
    return kRegInvalidParameter;
  }
  // The name first, then the value by its name, so that text arrives exact.
  ::DWORD length = *nameLength;
  const ::LSTATUS status =
      ::RegEnumValueA(ToSystem(key), index, name, &length, nullptr, nullptr, nullptr, nullptr);
  if (status != ERROR_SUCCESS) return Status(status);
  *nameLength = static_cast<DWORD>(length);
  return QueryValue(ToSystem(key), name, type, data, dataSize);
}

// Closing a root is harmless, as the contract promises.
LSTATUS RegCloseKey(HKEY key) {
  if (IsRoot(key)) return kRegSuccess;
  return Status(::RegCloseKey(ToSystem(key)));
}

// The key's own handle is watched, with an event that RegNotifyChangeKeyValue
// sets once per registration: it is registered again before a change is
// reported, so that none slips between two waits.
struct RegistryChangeWatch::State {
  ::HKEY key = nullptr;
  bool subtree = false;
  HANDLE event = nullptr;

  bool Register() {
    constexpr ::DWORD kFilter = REG_NOTIFY_CHANGE_NAME | REG_NOTIFY_CHANGE_LAST_SET;
    return event != nullptr && ::RegNotifyChangeKeyValue(key, subtree, kFilter, event, TRUE) == ERROR_SUCCESS;
  }
};

RegistryChangeWatch::RegistryChangeWatch(HKEY key, bool subtree) : state_(std::make_unique<State>()) {
  state_->key = ToSystem(key);
  state_->subtree = subtree;
  state_->event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  state_->Register();
}

RegistryChangeWatch::~RegistryChangeWatch() {
  if (state_->event != nullptr) CloseHandle(state_->event);
}

bool RegistryChangeWatch::Wait(uint32_t milliseconds) {
  if (state_->event == nullptr) {
    Sleep(milliseconds);
    return false;
  }
  if (WaitForSingleObject(state_->event, milliseconds) != WAIT_OBJECT_0) {
    // Not every registry signals a watched key's own deletion (Wine does
    // not): a key that is gone counts as changed.
    return ::RegQueryInfoKeyW(state_->key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr) == ERROR_KEY_DELETED;
  }
  state_->Register();
  return true;
}

// The registry of Windows is the system's own: there is no database to choose.
void UseRegistryDatabase(const char* /*path*/) {}

std::string DefaultRegistryDatabasePath() { return {}; }

}  // namespace storage::platform

namespace storage {

// Has no effect on Windows, where the registry is the system's.
void SetRegistryDatabase(const char* path) { platform::UseRegistryDatabase(path); }

}  // namespace storage
