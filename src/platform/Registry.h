// The registry: a tree of keys under three roots, each key holding named,
// typed values. The ten operations keep the Win32 signatures and result codes
// so that the registry backend reads the same on every platform; on Linux they
// work on a registry store (RegistryStore.h): by default the persistent SQLite
// store shared by every process of the user, or a store chosen for tests.
//
// What callers may rely on: key and value names are compared without regard to
// ASCII case and keep the spelling they were created with; paths hold several
// levels separated by backslashes; the empty or null value name is the key's
// default value; a data or name buffer that is too small answers 234 with the
// needed size; enumeration by index ends with 259; a key with sub-keys is not
// deleted; a handle to a key that was deleted answers 1018 from then on; types
// are kept as given. A call that answers 0 has made its change durable.
#ifndef SETTINGSTORE_PLATFORM_REGISTRY_H
#define SETTINGSTORE_PLATFORM_REGISTRY_H

#include <cstdint>
#include <memory>
#include <string>

namespace storage::platform {

class RegistryStore;

struct RegistryKey;  // opaque
using HKEY = RegistryKey*;
using DWORD = uint32_t;
using LSTATUS = int32_t;

// The predefined roots; closing them is harmless.
inline HKEY const HKEY_CLASSES_ROOT = reinterpret_cast<HKEY>(uintptr_t{0x80000000});
inline HKEY const HKEY_CURRENT_USER = reinterpret_cast<HKEY>(uintptr_t{0x80000001});
inline HKEY const HKEY_LOCAL_MACHINE = reinterpret_cast<HKEY>(uintptr_t{0x80000002});

// Result codes (the Win32 numbers).
constexpr LSTATUS kRegSuccess = 0;
constexpr LSTATUS kRegNotFound = 2;           // no such key or value
constexpr LSTATUS kRegAccessDenied = 5;       // deleting a key that has sub-keys
constexpr LSTATUS kRegInvalidHandle = 6;      // not an open key
constexpr LSTATUS kRegInvalidParameter = 87;  // missing or inconsistent argument
constexpr LSTATUS kRegBadPathname = 161;      // empty level in a key path
constexpr LSTATUS kRegMoreData = 234;         // buffer too small; size set to what is needed
constexpr LSTATUS kRegNoMoreItems = 259;      // enumeration index past the last item
constexpr LSTATUS kRegIoFailed = 1016;        // the store cannot be read or written
constexpr LSTATUS kRegKeyDeleted = 1018;      // the open key was deleted meanwhile

// Value types (the Win32 numbers); any other number is stored as given.
constexpr DWORD REG_NONE = 0;
constexpr DWORD REG_SZ = 1;
constexpr DWORD REG_EXPAND_SZ = 2;
constexpr DWORD REG_BINARY = 3;
constexpr DWORD REG_DWORD = 4;
constexpr DWORD REG_DWORD_BIG_ENDIAN = 5;
constexpr DWORD REG_LINK = 6;
constexpr DWORD REG_MULTI_SZ = 7;

struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};

// Opens an existing key; an empty or null path opens `key` itself anew.
LSTATUS RegOpenKeyA(HKEY key, const char* subKey, HKEY* result);
// Opens the key, creating every missing level.
LSTATUS RegCreateKeyA(HKEY key, const char* subKey, HKEY* result);
// With data: copies the value into data if *dataSize suffices (else 234).
// Every output may be null; with none it tests existence. *dataSize ends as
// the value's size.
LSTATUS RegQueryValueExA(HKEY key, const char* valueName, DWORD* reserved, DWORD* type, uint8_t* data,
                         DWORD* dataSize);
// Creates or replaces the value; the bytes are kept unchanged.
LSTATUS RegSetValueExA(HKEY key, const char* valueName, DWORD reserved, DWORD type, const uint8_t* data,
                       DWORD dataSize);
LSTATUS RegDeleteValueA(HKEY key, const char* valueName);
// Deletes the sub-key and its values; refused (5) while it has sub-keys.
LSTATUS RegDeleteKeyA(HKEY key, const char* subKey);
// Counts and longest lengths as of the call (names in characters without
// terminator); any output may be null. Keys have no class and no security
// descriptor here: those lengths are 0, the time is 0.
LSTATUS RegQueryInfoKeyA(HKEY key, char* keyClass, DWORD* classLength, DWORD* reserved, DWORD* subKeys,
                         DWORD* maxSubKeyLength, DWORD* maxClassLength, DWORD* values,
                         DWORD* maxValueNameLength, DWORD* maxValueLength, DWORD* securityDescriptorLength,
                         FILETIME* lastWriteTime);
// The index-th sub-key's name; nameSize counts the terminator.
LSTATUS RegEnumKeyA(HKEY key, DWORD index, char* name, DWORD nameSize);
// The index-th value: *nameLength is the buffer size on entry and the name's
// length without terminator on success. Type and data as RegQueryValueExA.
LSTATUS RegEnumValueA(HKEY key, DWORD index, char* name, DWORD* nameLength, DWORD* reserved, DWORD* type,
                      uint8_t* data, DWORD* dataSize);
LSTATUS RegCloseKey(HKEY key);

// Tells when any process commits a change to the key's values or sub-keys,
// and with `subtree` anywhere below it. Changes between two calls of Wait are
// never missed; one that may have happened is enough to answer true.
class RegistryChangeWatch {
 public:
  RegistryChangeWatch(HKEY key, bool subtree);
  ~RegistryChangeWatch();
  RegistryChangeWatch(const RegistryChangeWatch&) = delete;
  RegistryChangeWatch& operator=(const RegistryChangeWatch&) = delete;

  // True when a change may have been committed since the previous call (or
  // since the watch was made); waits up to `milliseconds` for one.
  bool Wait(uint32_t milliseconds);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// ---- Choosing the store -----------------------------------------------------
// Operations on the roots go to the active store; an open key stays with the
// store it was opened in. Until a store is chosen the active one is the
// persistent store at DefaultRegistryDatabasePath().

// Makes `store` active (tests: a MemoryRegistry); null returns to the
// persistent store.
void UseRegistryStore(std::shared_ptr<RegistryStore> store);
// Makes the persistent store in this database file active; null returns to
// the default location.
void UseRegistryDatabase(const char* path);
// $SETTINGSTORE_REGISTRY_DB, else $XDG_DATA_HOME/settingstore/registry.db,
// else ~/.local/share/settingstore/registry.db.
std::string DefaultRegistryDatabasePath();

}  // namespace storage::platform

#endif  // SETTINGSTORE_PLATFORM_REGISTRY_H
