// A key of the shared DOM backend. Its value is three texts in the shared
// string table, held by the key element's "type", "size" and "value"
// attributes: the type's name, the size in hexadecimal, and the value as text
// (hexadecimal for integers, Base64 for bytes). Every read and write holds the
// lock of the key's parent section, so a value is never seen half written.
#ifndef SETTINGSTORE_SHAREDDOM_SHAREDDOMKEY_H
#define SETTINGSTORE_SHAREDDOM_SHAREDDOMKEY_H

#include <cstdint>
#include <string>

#include "base/RefCounted.h"
#include "shareddom/SharedDOMSection.h"

namespace storage {

class SharedDOMKey : public StorageKeyBase {
 public:
  // Stored type numbers, in the order of their texts.
  enum StoredType : int { kUnknown = 0, kInteger = 1, kString = 2, kBinary = 3, kMultiValue = 4 };

  // Starts with the one reference for the caller.
  explicit SharedDOMKey(KeyPlace place) : place_(std::move(place)) {}

  bool Read(void* buffer, unsigned size) override;
  bool Write(Type type, const void* data, unsigned size) override;
  Type GetType() override;
  unsigned GetSize() override;

  // Puts a chain from DOMElement::NewValueChain in place of the key's value
  // attributes, leaving the old one in `chain`; the section lock must be
  // held. A key deleted since this object was made is made again under its
  // own name.
  void WriteAttributes(NodeRef& chain);

 private:
  // What one holding of the section lock reads of the value.
  struct Snapshot {
    StoredType type;
    StringAutoRelease size;
    StringAutoRelease value;
  };

  ~SharedDOMKey() override;  // only Release destroys it

  // Reads the stored type and, when asked, the size and value strings.
  Snapshot TakeSnapshot(bool withSize, bool withValue);
  void WriteValue(uint32_t typeSid, const std::string& size, const std::string& value);

  // The key element changes only under the section lock, when a write makes
  // a deleted key again; the section element never changes.
  KeyPlace place_;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_SHAREDDOMKEY_H
