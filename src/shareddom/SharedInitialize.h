// Bring-up and teardown of the shared DOM in a process: one storage at a time,
// its names derived from the host's storage path.
#ifndef SETTINGSTORE_SHAREDDOM_SHAREDINITIALIZE_H
#define SETTINGSTORE_SHAREDDOM_SHAREDINITIALIZE_H

#include "storage/storage.h"

namespace storage {

// Brings the shared DOM up for the initializer's path, retrying as long as
// the host asks. Throws StorageAccessDeniedException when the process has a
// shared DOM up already, LoadStorageFailedException when the host gives up.
void LoadSharedStorage(IStorageInitializer* init);
// One attempt; false after a failure, which it logs and tears down.
bool InitializeSharedDOM(IStorageInitializer* init);
// Tears down whatever is up; does nothing when nothing is. False when this
// process was the last to leave and the hive files could not be saved.
bool UnloadSharedStorage();

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_SHAREDINITIALIZE_H
