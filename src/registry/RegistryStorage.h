// A section of the registry backend: one open registry key. Its sub-sections
// are sub-keys, its keys are the key's values. Nothing is cached: every
// operation asks the registry afresh.
#ifndef SETTINGSTORE_REGISTRY_REGISTRYSTORAGE_H
#define SETTINGSTORE_REGISTRY_REGISTRYSTORAGE_H

#include "base/NamesEnumerator.h"
#include "base/RefCounted.h"
#include "base/SectionWatch.h"
#include "registry/RegBlockedPlug.h"
#include "registry/RegistryKeyHandle.h"

namespace storage {

class RegistryStorage : public StorageSectionBase, public WatchableSection, private RegBlockedPlug {
 public:
  // Starts with the one reference for the caller.
  explicit RegistryStorage(RegistryKeyHandle key) : key_(key) {}

  // The empty name is the key's default value.
  IStorageKey* OpenKey(const char* name) override;
  // Makes no registry value: the value appears with the key's first Write.
  IStorageKey* CreateKey(const char* name) override;
  // Paths may hold several levels separated by backslashes.
  IStorageSection* OpenSection(const char* path) override;
  // Creates every missing level.
  IStorageSection* CreateSection(const char* path) override;
  // Deletes only a section without sub-sections and keys.
  bool DeleteSection(const char* path) override;
  // A null name is the default value.
  bool DeleteKey(const char* name) override;
  // Lists the default value's empty name only while that value is set.
  INamesEnumerator* EnumKeys() override;
  INamesEnumerator* EnumSections() override;
  // Each watch has its own watch on the key, as the registry tells changes
  // per key.
  ISectionWatch* Watch(bool subtree) override;

 private:
  ~RegistryStorage() override = default;  // only Release destroys it

  platform::HKEY OpenSubKey(platform::HKEY parent, const char* path);
  platform::HKEY CreateSubKey(platform::HKEY parent, const char* path);
  // The numbers of sub-keys and values of the sub-key at `path`.
  platform::LSTATUS CountChildren(const char* path, platform::DWORD* subKeys, platform::DWORD* values);
  platform::LSTATUS ValueExists(const char* name);
  // Adds the names that `nameAt(index, buffer, size)` gives for index 0, 1, ...
  // until 259 and `keep(name)` accepts; the first other failure is returned.
  template <class NameAt, class Keep>
  static platform::LSTATUS CollectNames(platform::DWORD longest, NameAt nameAt, Keep keep,
                                        NamesEnumerator& names);

  RegistryKeyHandle key_;
};

}  // namespace storage

#endif  // SETTINGSTORE_REGISTRY_REGISTRYSTORAGE_H
