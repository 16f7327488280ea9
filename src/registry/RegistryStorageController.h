// The controller of a registry storage: opens the initializer's registry path
// as the root section and runs the host's check function on it.
#ifndef SETTINGSTORE_REGISTRY_REGISTRYSTORAGECONTROLLER_H
#define SETTINGSTORE_REGISTRY_REGISTRYSTORAGECONTROLLER_H

#include "base/RefCounted.h"
#include "storage/storage.h"

namespace storage {

class RegistryStorageController : public IStorageController, public RefCounted {
 public:
  class Traits : public ITraits {
   public:
    const char* GetName() override { return "Windows Registry"; }
    bool IsThreadSafe() override { return true; }
    bool IsInterprocess() override { return true; }
    void Destroy() override { delete this; }
    StorageType GetType() override { return STORAGE_REGISTRY; }
  };

  // The registry key must exist: it is opened, never created. `init` is used
  // only here. A check function that refuses the storage raises an assertion.
  explicit RegistryStorageController(IStorageInitializer* init);

  IStorageSection* GetRoot() override;
  // The registry keeps every change at once: nothing to confirm or save.
  void LoadSuccessful() override {}
  void Save() override {}

 private:
  ~RegistryStorageController() override = default;  // only Release destroys it

  Ref<IStorageSection> root_;
};

}  // namespace storage

#endif  // SETTINGSTORE_REGISTRY_REGISTRYSTORAGECONTROLLER_H
