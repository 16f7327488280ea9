// One process's use of a storage: InitializeStorage on the way in, Dispose and
// DeinitializeStorage on the way out.
#ifndef SETTINGSTORE_TOOLS_STRESS_STORAGESESSION_H
#define SETTINGSTORE_TOOLS_STRESS_STORAGESESSION_H

#include <cstdint>
#include <string>

#include "storage/storage.h"

namespace stress {

storage::StorageType ParseType(const std::string& text);
// The code with which the backend of `type` reports a name it lacks on open.
int32_t NotFoundCode(storage::StorageType type);

class StorageSession {
 public:
  StorageSession(storage::StorageType type, const std::string& path);
  // Tears the storage down if Close was not called; errors are then lost.
  ~StorageSession();
  // Saves (the XML backend needs it), then tears the storage down.
  void Close();
  StorageSession(const StorageSession&) = delete;
  StorageSession& operator=(const StorageSession&) = delete;

  storage::Ref<storage::IStorageSection> Root();

 private:
  storage::StorageType type_;
  storage::NoThrowStorageFactory* factory_ = nullptr;
};

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_STORAGESESSION_H
