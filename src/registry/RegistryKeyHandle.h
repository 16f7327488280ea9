// A registry key handle shared by a section and every key object made from
// it, so that the key stays open until the last of them is gone.
#ifndef SETTINGSTORE_REGISTRY_REGISTRYKEYHANDLE_H
#define SETTINGSTORE_REGISTRY_REGISTRYKEYHANDLE_H

#include "base/RefCounted.h"
#include "platform/Registry.h"
#include "storage/ref.h"

namespace storage {

class RegistryKeyHandle {
 public:
  // Owns one open key handle and closes it when the last reference goes.
  class HandleOwner : public RefCounted {
   public:
    explicit HandleOwner(platform::HKEY key) : key_(key) {}
    platform::HKEY get() const { return key_; }

   private:
    ~HandleOwner() override;  // only Release destroys it

    platform::HKEY key_;
  };

  // Adopts the handle; it is closed even when no holder can be made for it.
  explicit RegistryKeyHandle(platform::HKEY key);

  platform::HKEY get() const { return impl_->get(); }

 private:
  Ref<HandleOwner> impl_;
};

}  // namespace storage

#endif  // SETTINGSTORE_REGISTRY_REGISTRYKEYHANDLE_H
