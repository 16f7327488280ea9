// A key of the registry backend: one named value of an open registry key.
// The object keeps no value of its own; every operation asks the registry.
#ifndef SETTINGSTORE_REGISTERYSTORAGE_REGISTERYSTORAGEKEY_H
#define SETTINGSTORE_REGISTERYSTORAGE_REGISTERYSTORAGEKEY_H

#include <string>

#include "base/AddRef.h"
#include "registry/RegBlockedPlug.h"
#include "registry/RegistryKeyHandle.h"

namespace storage {

// Keeps the section's registry key open for as long as the key object lives,
// even after the section object is released.
class RegisteryStorageKeyBase : public AStorageKey, protected RegBlockedPlug {
 protected:
  explicit RegisteryStorageKeyBase(CHKey sectionKey) : sectionKey_(sectionKey) {}
  ~RegisteryStorageKeyBase() override = default;

  platform::HKEY sectionKey() const { return sectionKey_.get(); }

 private:
  CHKey sectionKey_;
};

class RegisteryStorageKey : public RegisteryStorageKeyBase {
 public:
  // A null or empty name designates the default value. Starts with the one
  // reference for the caller.
  RegisteryStorageKey(CHKey sectionKey, const char* name)
      : RegisteryStorageKeyBase(sectionKey), name_(name ? name : "") {}

  // Copies at most `size` bytes; a value larger than the buffer is a failure.
  bool Read(void* buffer, unsigned size) override;
  // Stores the bytes unchanged in the registry type of `type`.
  bool Write(Type type, const void* data, unsigned size) override;
  // Throws Exception(-6) for a registry type the framework has no name for.
  Type GetType() override;
  unsigned GetSize() override;

 private:
  ~RegisteryStorageKey() override = default;  // only Release destroys it

  std::string name_;
};

}  // namespace storage

#endif  // SETTINGSTORE_REGISTERYSTORAGE_REGISTERYSTORAGEKEY_H
