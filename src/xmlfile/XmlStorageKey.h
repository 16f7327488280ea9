// The key of the XML backend: one "key" element whose value lives in its
// attributes "value", "type" ("Binary", "Integer", "String", "MultiString")
// and "size", and for a multi-string in one child "substring" (attribute
// "value") per string.
#ifndef SETTINGSTORE_XMLFILE_XMLSTORAGEKEY_H
#define SETTINGSTORE_XMLFILE_XMLSTORAGEKEY_H

#include <optional>

#include "base/RefCounted.h"
#include "storage/storage.h"
#include "xml/XmlNode.h"
#include "xmlfile/ElementPin.h"

namespace storage {

// The attribute access every XML key needs: the element it stands for (not
// owned; the document must outlive the key) and in-place attribute updates.
// Once the element is deleted, every operation fails with IOException -1.
class XmlStorageKeyBase : public StorageKeyBase {
 public:
  explicit XmlStorageKeyBase(XmlNode* element);

  XmlNode* Element() const { return element_.get(); }

 protected:
  ~XmlStorageKeyBase() override = default;  // only Release destroys it

  // IOException -1 once the element is deleted.
  void CheckLive() const;
  // Null when the attribute is absent.
  const char* Attribute(const char* name) const;
  // Replaces the attribute's value where it stands, or appends it.
  void SetAttribute(const char* name, const char* value);

 private:
  ElementPin element_;
};

// Reads and writes the four value types. A key nobody wrote has type 0 and
// size 0, and reading it throws IOException -10. Reads never go past the
// stored text or the caller's buffer, whatever a hand-edited file holds.
class XmlStorageKey : public XmlStorageKeyBase {
 public:
  // Starts with the one reference of its creator.
  explicit XmlStorageKey(XmlNode* element);

  bool Read(void* buffer, unsigned size) override;
  // Replaces the whole value, the "substring" children of an earlier
  // multi-string included. Fails before it changes the element.
  bool Write(Type type, const void* data, unsigned size) override;
  Type GetType() override;
  // The stored "size", but never more than Read can fill from the held
  // value; 0 when "size" is absent or no decimal 32-bit number.
  unsigned GetSize() override;

 protected:
  ~XmlStorageKey() override = default;  // only Release destroys it

 private:
  // The attributes that hold the value, each null when absent, found in one
  // pass over the element's attributes.
  struct ValueAttributes {
    const char* value = nullptr;
    size_t valueLength = 0;
    const char* type = nullptr;
    const char* size = nullptr;
  };

  ValueAttributes FindValueAttributes() const;
  size_t ReadableSize(const ValueAttributes& attributes) const;
  void ReadMultiString(void* buffer, unsigned size) const;
  void RemoveSubstrings();
};

}  // namespace storage

#endif  // SETTINGSTORE_XMLFILE_XMLSTORAGEKEY_H
