// Keeps the element a section or key object stands for from being freed
// under it: another object may delete the element from the tree at any time.
#ifndef SETTINGSTORE_XMLFILE_ELEMENTPIN_H
#define SETTINGSTORE_XMLFILE_ELEMENTPIN_H

#include "base/Exceptions.h"
#include "xml/XmlNode.h"

namespace storage {

class ElementPin {
 public:
  explicit ElementPin(XmlNode* element) : element_(element) { element_->Pin(); }
  ~ElementPin() { element_->Unpin(); }
  ElementPin(const ElementPin&) = delete;
  ElementPin& operator=(const ElementPin&) = delete;

  XmlNode* get() const { return element_; }

  // The element while it is in the tree; once deleted, the operation fails
  // with Error -1 as a deleted section or key does in every backend.
  template <class Error>
  XmlNode* Live() const {
    if (element_->IsRemoved()) throw Error(kErrorDeleted);
    return element_;
  }

 private:
  XmlNode* element_;
};

}  // namespace storage

#endif  // SETTINGSTORE_XMLFILE_ELEMENTPIN_H
