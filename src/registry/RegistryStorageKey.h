// A key of the registry backend: one named value of an open registry key.
// The object keeps no value of its own; every operation asks the registry.
#ifndef SETTINGSTORE_REGISTRY_REGISTRYSTORAGEKEY_H
#define SETTINGSTORE_REGISTRY_REGISTRYSTORAGEKEY_H

#include <string>
#include <utility>

#include "base/RefCounted.h"
#include "registry/RegBlockedPlug.h"
#include "registry/RegistryKeyHandle.h"

namespace storage {

// Keeps the section's registry key open for as long as the key object lives,
// even after the section object is released.
class RegistryStorageKeyBase : public StorageKeyBase, protected RegBlockedPlug {
 protected:
  explicit RegistryStorageKeyBase(RegistryKeyHandle sectionKey) : sectionKey_(std::move(sectionKey)) {}
  ~RegistryStorageKeyBase() override = default;

  platform::HKEY SectionKey() const { return sectionKey_.get(); }

 private:
  RegistryKeyHandle sectionKey_;
};

class RegistryStorageKey : public RegistryStorageKeyBase {
 public:
  // A null or empty name designates the default value. Starts with the one
  // reference for the caller.
  RegistryStorageKey(RegistryKeyHandle sectionKey, const char* name)
      : RegistryStorageKeyBase(std::move(sectionKey)), name_(name ? name : "") {}

  // Copies at most `size` bytes; a value larger than the buffer is a failure.
  bool Read(void* buffer, unsigned size) override;
  // Stores the bytes unchanged in the registry type of `type`.
  bool Write(Type type, const void* data, unsigned size) override;
  // Throws Exception(-6) for a registry type the framework has no name for.
  Type GetType() override;
  unsigned GetSize() override;

 private:
  ~RegistryStorageKey() override = default;  // only Release destroys it

  std::string name_;
};

}  // namespace storage

#endif  // SETTINGSTORE_REGISTRY_REGISTRYSTORAGEKEY_H
