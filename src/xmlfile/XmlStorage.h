// The section of the XML backend: one element of an in-memory XML document.
// A sub-section is a child element "section", a key a child element "key",
// each with its name in the attribute "name" (compared ignoring ASCII case,
// stored as first written). Children with any other element name are left
// alone by every operation.
#ifndef SETTINGSTORE_XMLFILE_XMLSTORAGE_H
#define SETTINGSTORE_XMLFILE_XMLSTORAGE_H

#include "base/RefCounted.h"
#include "storage/storage.h"
#include "xml/XmlNode.h"
#include "xmlfile/ElementPin.h"

namespace storage {

// Stands for an element it does not own: the tree belongs to whoever made the
// document, and must outlive every section and key made over it. Several
// sections may stand for one element; once it is deleted, every operation
// fails with code -1. Not for concurrent use.
class XmlStorage : public StorageSectionBase {
 public:
  // Starts with the one reference of its creator.
  explicit XmlStorage(XmlNode* element);

  IStorageKey* OpenKey(const char* name) override;
  IStorageKey* CreateKey(const char* name) override;
  IStorageSection* OpenSection(const char* path) override;
  IStorageSection* CreateSection(const char* path) override;
  bool DeleteSection(const char* path) override;
  bool DeleteKey(const char* name) override;
  INamesEnumerator* EnumKeys() override;
  INamesEnumerator* EnumSections() override;

  // The key elements OpenKey and CreateKey stand for, with their failures.
  XmlNode* FindKey(const char* name);
  XmlNode* FindOrCreateKey(const char* name);

  // The element this section stands for (the document's root for a root
  // section, which is what a save writes).
  XmlNode* Element() const { return element_.get(); }

 private:
  ~XmlStorage() override = default;  // only Release destroys it

  ElementPin element_;
};

}  // namespace storage

#endif  // SETTINGSTORE_XMLFILE_XMLSTORAGE_H
