#include "shareddom/SharedDOMController.h"

#include "shareddom/NodeFactory.h"

namespace storage {

SharedDOMController::SharedDOMController() : root_(new SharedDOMSection(NodeFactory::GetInstance()->getRoot())) {}

IStorageSection* SharedDOMController::GetRoot() {
  root_->AddRef();
  return root_.get();
}

}  // namespace storage
