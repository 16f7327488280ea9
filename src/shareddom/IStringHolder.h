// One string of the shared string table, as seen from this process: how it is
// created, bound to an existing head block, read, counted and freed. The
// string factory keeps one holder per known SID in its index.
#ifndef SETTINGSTORE_SHAREDDOM_ISTRINGHOLDER_H
#define SETTINGSTORE_SHAREDDOM_ISTRINGHOLDER_H

#include <cstdint>
#include <string>
#include <string_view>

#include "shm/InitMemAddress.h"

namespace storage {

class IStringHolder {
 public:
  // Stores a new string with this holder's SID; the string then has one
  // reference. Failures leave nothing behind in shared memory or on disk.
  virtual void Create(std::string_view text) = 0;
  // Takes the existing string whose head block is at this address.
  virtual void Bind(const InitMemAddress& address) = 0;
  // Gives the string's shared blocks (and file) back. The holder answers as a
  // freed one afterwards, and so does every other holder of the string.
  virtual void Free() = 0;
  // The case-insensitive hash of the text; -1 once the string is gone.
  virtual int32_t Hash() = 0;
  // The SID, or -1 once the head no longer carries this holder's SID.
  virtual int32_t CurrentSID() = 0;
  // The text, read once and cached; null once the string is gone. Valid for
  // as long as the holder lives.
  virtual const std::string* Text() = 0;
  // One more shared reference; false when the string is gone or being freed.
  virtual bool AddRef() = 0;
  // One reference less; the last one frees the string (see IStringHolderOwner).
  virtual void Release() = 0;
  // Deletes this holder object; the shared string is not touched.
  virtual void Destroy() = 0;
  virtual ~IStringHolder() = default;
};

// What a holder needs of the string table that owns it.
class IStringHolderOwner {
 public:
  // Takes the holder entered under this SID out of the owner's index and hands
  // it over, or returns null when there is none. Called when a string's last
  // reference goes: the holder returned is freed and destroyed by the caller.
  virtual IStringHolder* Remove(int32_t sid) = 0;
  // The directory (ending in a separator) in which external string files live.
  virtual const std::string& ExternalDirectory() const = 0;

 protected:
  ~IStringHolderOwner() = default;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHAREDDOM_ISTRINGHOLDER_H
