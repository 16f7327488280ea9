// Each backend builds its controller and traits for InitializeStorage.
#ifndef SETTINGSTORE_BASE_BACKENDS_H
#define SETTINGSTORE_BASE_BACKENDS_H

#include "storage/storage.h"

namespace storage {

struct Backend {
  IStorageController* controller;  // one reference, handed to the factory
  ITraits* traits;
};

Backend MakeRegistryBackend(IStorageInitializer* init);
Backend MakeXmlBackend(IStorageInitializer* init);
Backend MakeSharedDomBackend(IStorageInitializer* init);
bool UnloadSharedDom();

// Refuses, with a TechnicalException that names it and its owner, a storage
// directory that another user controls (see platform::CheckStorageDirectory).
void RequireStorageDirectory(const char* directory);

}  // namespace storage

#endif  // SETTINGSTORE_BASE_BACKENDS_H
