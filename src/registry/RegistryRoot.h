// Registry paths given as text: a root key name, then the sub-key path.
#ifndef SETTINGSTORE_REGISTRY_REGISTRYROOT_H
#define SETTINGSTORE_REGISTRY_REGISTRYROOT_H

#include "platform/Registry.h"
#include "storage/storage.h"

namespace storage {

// Splits `path` into its root key and the rest after one separator (end of
// text, blank, backslash or slash). Root names are case-sensitive and must be
// whole words: HKLM, HKEY_LOCAL_MACHINE, HKCU, HKEY_CURRENT_USER, HKCR,
// HKEY_CLASSES_ROOT. Throws Exception(-2) for any other beginning.
const char* ParseRegistryRoot(const char* path, platform::HKEY& root);

// Opens, never creates, the key that `path` names and returns its section with
// one reference. Exception(-2) for an unknown or null root name,
// OpenException(-2) for a missing key, OpenException(-6) for other failures.
IStorageSection* OpenRegistryPath(const char* path);

}  // namespace storage

#endif  // SETTINGSTORE_REGISTRY_REGISTRYROOT_H
