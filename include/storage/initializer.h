// A ready-made IStorageInitializer for hosts that need none of its callbacks:
// a location, a default location (the XML backend's fallback file), one load
// attempt and no check function.
#ifndef SETTINGSTORE_STORAGE_INITIALIZER_H
#define SETTINGSTORE_STORAGE_INITIALIZER_H

#include <string>
#include <utility>

#include "storage/storage.h"

namespace storage {

class PathInitializer : public IStorageInitializer {
 public:
  // The location serves as the default location too.
  explicit PathInitializer(std::string path) : path_(path), defaultPath_(std::move(path)) {}
  PathInitializer(std::string path, std::string defaultPath)
      : path_(std::move(path)), defaultPath_(std::move(defaultPath)) {}

  const char* GetPath() override { return path_.c_str(); }
  const char* GetDefaultPath() override { return defaultPath_.c_str(); }
  void OnLoadBegin() override {}
  void OnLoadSucceeded() override {}
  void OnLoadFailed() override {}
  // A failed load is reported to the caller at once.
  bool RetryLoad() override { return false; }
  StorageCheckFunction GetCheckFunction() override { return nullptr; }

 private:
  std::string path_;
  std::string defaultPath_;
};

}  // namespace storage

#endif  // SETTINGSTORE_STORAGE_INITIALIZER_H
