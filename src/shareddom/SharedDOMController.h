// The storage controller of the shared DOM backend. The tree lives in shared
// memory and its files are written by the hives themselves when the last
// process leaves, so loading and saving ask nothing of the controller.
#ifndef SETTINGSTORE_SHAREDDOM_SHAREDDOMCONTROLLER_H
#define SETTINGSTORE_SHAREDDOM_SHAREDDOMCONTROLLER_H

#include "base/RefCounted.h"
#include "shareddom/SharedDOMSection.h"
#include "storage/ref.h"

namespace storage {

class SharedDOMController : public IStorageController, public RefCounted {
 public:
  class Traits : public ITraits {
   public:
    const char* GetName() override { return "Shared Memory Manager"; }
    bool IsThreadSafe() override { return true; }
    bool IsInterprocess() override { return true; }
    void Destroy() override { delete this; }
    StorageType GetType() override { return STORAGE_SHARED_DOM; }
  };

  // Makes the root section on the tree's root element; the shared DOM must be up.
  SharedDOMController();

  // Every call hands out one more reference on the same root section.
  IStorageSection* GetRoot() override;
  void LoadSuccessful() override {}
  void Save() override {}

 private:
  ~SharedDOMController() override = default;  // only Release destroys it

  Ref<SharedDOMSection> root_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_SHAREDDOMCONTROLLER_H
