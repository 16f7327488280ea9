// The shared DOM backend's entry points for InitializeStorage(2, ...) and
// DeinitializeStorage(2).
#include "base/Backends.h"
#include "base/Path.h"
#include "shareddom/SharedDOMController.h"
#include "shareddom/SharedInitialize.h"

namespace storage {

Backend MakeSharedDomBackend(IStorageInitializer* init) {
  if (init->GetPath() != nullptr) RequireStorageDirectory(utils::path::Normalize(init->GetPath()).c_str());
  LoadSharedStorage(init);
  try {
    return Backend{new SharedDOMController(), new SharedDOMController::Traits()};
  } catch (...) {
    UnloadSharedStorage();
    throw;
  }
}

bool UnloadSharedDom() { return UnloadSharedStorage(); }

}  // namespace storage
