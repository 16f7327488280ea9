// The library's exported entry points: backend selection and the version.
#include "api/Messages.h"
#include "base/Backends.h"
#include "xmlfile/IdleSave.h"

using namespace storage;

extern "C" NoThrowStorageFactory* InitializeStorage(StorageType type, IStorageInitializer* init) {
  if (type != STORAGE_REGISTRY && type != STORAGE_XML && type != STORAGE_SHARED_DOM) return nullptr;
  if (init == nullptr) throw TechnicalException(messages::api::kNoInitializer);

  Backend backend{};
  switch (type) {
    case STORAGE_REGISTRY:
      backend = MakeRegistryBackend(init);
      break;
    case STORAGE_XML:
      backend = MakeXmlBackend(init);
      break;
    case STORAGE_SHARED_DOM:
      backend = MakeSharedDomBackend(init);
      break;
  }
  return new NoThrowStorageFactory(type, backend.controller, backend.traits);
}

extern "C" bool DeinitializeStorage(StorageType type) {
  switch (type) {
    case STORAGE_REGISTRY:
      return true;
    case STORAGE_XML:
      // A backup copy still being written would be cut off if the host ended now.
      IdleSave::WaitUntilIdle(kIdleSaveWaitMs);
      return true;
    case STORAGE_SHARED_DOM:
      return UnloadSharedDom();
  }
  return false;
}

extern "C" const char* GetStotageVersion() {
  static const char kVersion[] = "1.1";
  return kVersion;
}
