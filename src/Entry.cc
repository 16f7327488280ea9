// The library's exported entry points: backend selection and the version.
#include "Backends.h"
#include "ProcessValues.h"
#include "platform/Platform.h"
#include "XMLStorage/IdleSave.h"

using namespace storage;

namespace {

// The XML backend reads its locations from process-wide strings; a null
// location stands for the empty directory.
void StoreXmlLocations(IStorageInitializer* init) {
  XmlStorageDirectory() = init->GetPath() ? init->GetPath() : "";
  XmlDefaultDirectory() = init->GetDefaultPath() ? init->GetDefaultPath() : "";
}

}  // namespace

namespace storage {

void RequireStorageDirectory(const char* directory) {
  std::string problem;
  if (platform::CheckStorageDirectory(directory, &problem)) return;
  throw TechnicalException(problem);
}

}  // namespace storage

extern "C" NoThrowStorageFactory* InitializeStorage(StorageType type, IStorageInitializer* init) {
  if (type != STORAGE_REGISTRY && type != STORAGE_XML && type != STORAGE_SHARED_DOM) return nullptr;
  if (init == nullptr) throw TechnicalException("InitializeStorage needs an initializer");

  Backend backend{};
  switch (type) {
    case STORAGE_REGISTRY:
      backend = MakeRegistryBackend(init);
      break;
    case STORAGE_XML:
      StoreXmlLocations(init);
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
      CIdleSave::WaitUntilIdle(kIdleSaveWaitMs);
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
