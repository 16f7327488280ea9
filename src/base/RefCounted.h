// Thread-safe reference counting shared by every object handed to a host.
#ifndef SETTINGSTORE_BASE_REFCOUNTED_H
#define SETTINGSTORE_BASE_REFCOUNTED_H

#include <atomic>

#include "storage/storage.h"

namespace storage {

// Keeps the count; when it reaches zero calls OnGetFreedom and destroys the
// object. An object starts with one reference, the one its creator hands out.
class RefCounted : public virtual IAddRef {
 public:
  long AddRef() override;
  long Release() override;

 protected:
  RefCounted() = default;
  ~RefCounted() override = default;
  virtual void OnGetFreedom() {}

 private:
  std::atomic<long> count_{1};
};

// Sections and keys of every backend derive from these.
class StorageSectionBase : public IStorageSection, public RefCounted {};
class StorageKeyBase : public IStorageKey, public RefCounted {};

}  // namespace storage

#endif  // SETTINGSTORE_BASE_REFCOUNTED_H
