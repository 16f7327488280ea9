#include "StorageSession.h"

#include <stdexcept>
#include <utility>

#include "storage/initializer.h"

namespace stress {

storage::StorageType ParseType(const std::string& text) {
  if (text == "shared" || text == "2") return storage::STORAGE_SHARED_DOM;
  if (text == "xml" || text == "1") return storage::STORAGE_XML;
  throw std::invalid_argument("storage type '" + text + "' (shared or xml)");
}

int32_t NotFoundCode(storage::StorageType type) { return type == storage::STORAGE_XML ? -6 : -2; }

StorageSession::StorageSession(storage::StorageType type, const std::string& path) : type_(type) {
  // A refused load is a finding of the run, not something to paper over.
  storage::PathInitializer initializer(path);
  factory_ = InitializeStorage(type, &initializer);
  if (factory_ == nullptr) throw std::runtime_error("InitializeStorage gave no factory");
}

StorageSession::~StorageSession() {
  try {
    Close();
  } catch (...) {
  }
}

void StorageSession::Close() {
  if (factory_ == nullptr) return;
  std::exchange(factory_, nullptr)->Dispose();
  DeinitializeStorage(type_);
}

storage::Ref<storage::IStorageSection> StorageSession::Root() {
  return storage::Ref<storage::IStorageSection>(factory_->GetRoot());
}

}  // namespace stress
