#include "shareddom/SharedDOMController.h"

#include "shareddom/SharedServices.h"

namespace storage {

SharedDOMController::SharedDOMController() : root_(new SharedDOMSection(SharedServices::Required().Nodes().Root())) {}

IStorageSection* SharedDOMController::GetRoot() {
  root_->AddRef();
  return root_.get();
}

}  // namespace storage
