#include "registry/RegistryStorageController.h"

#include "base/Backends.h"
#include "base/Exceptions.h"
#include "registry/Messages.h"
#include "registry/RegistryRoot.h"

namespace storage {

RegistryStorageController::RegistryStorageController(IStorageInitializer* init) {
  init->OnLoadBegin();
  const char* path = init->GetPath();
  if (path == nullptr) throw CheckStorageException();
  root_.reset(OpenRegistryPath(path));

  const StorageCheckFunction check = init->GetCheckFunction();
  if (check != nullptr) {
    if (!check(root_.get(), STORAGE_REGISTRY)) {
      init->OnLoadFailed();
      root_.reset();
      STORAGE_ASSERT(false, messages::registry::kControllerFile,
                     messages::registry::kControllerConstructor, nullptr);
    }
    // Hosts expect their check to run twice; the second answer is not used.
    check(root_.get(), STORAGE_REGISTRY);
  }
  init->OnLoadSucceeded();
}

IStorageSection* RegistryStorageController::GetRoot() {
  return Ref<IStorageSection>::share(root_.get()).release();
}

Backend MakeRegistryBackend(IStorageInitializer* init) {
  Ref<IStorageController> controller(new RegistryStorageController(init));
  ITraits* traits = new RegistryStorageController::Traits;
  return Backend{controller.release(), traits};
}

IStorageSection* GetRegStorage(const char* path) { return OpenRegistryPath(path); }

}  // namespace storage
