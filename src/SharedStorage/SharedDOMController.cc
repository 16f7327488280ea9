#include "SharedStorage/SharedDOMController.h"

#include "SharedStorage/NodeFactory.h"

namespace storage {

SharedDOMController::SharedDOMController() : root_(new SharedDOMSection(NodeFactory::GetInstance()->getRoot())) {}

IStorageSection* SharedDOMController::GetRoot() {
  root_->AddRef();
  return root_.get();
}

}  // namespace storage
