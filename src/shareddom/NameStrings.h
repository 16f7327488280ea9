// Names of sections and keys live apart from values and from the tree's own
// words in the string table: each is stored behind a marker byte. A name's
// case-insensitive match so meets only other names, and a name keeps the
// spelling it was first created with, whatever values or words came first.
#ifndef SETTINGSTORE_SHAREDDOM_NAMESTRINGS_H
#define SETTINGSTORE_SHAREDDOM_NAMESTRINGS_H

#include <string>

#include "base/ThreadLocal.h"
#include "shareddom/SharedServices.h"

namespace storage::names {

inline constexpr char kMarker = '\x01';

// The stored form of a name, in a buffer of the calling thread.
inline const char* Stored(const char* name) {
  std::string& buffer = utils::ThreadLocal<std::string, struct StoredNameBuffer>();
  buffer.assign(1, kMarker);
  buffer += name;
  return buffer.c_str();
}

// The name's string, when one is stored.
inline StringAutoRelease Peek(const char* name) { return SharedServices::Required().Strings().PeekSID(Stored(name)); }
// The name's string, stored when it is new.
inline StringAutoRelease Get(const char* name) { return SharedServices::Required().Strings().GetSID(Stored(name)); }

// The name a stored text stands for.
inline const char* Text(const char* stored) { return stored[0] == kMarker ? stored + 1 : stored; }

}  // namespace storage::names

#endif  // SETTINGSTORE_SHAREDDOM_NAMESTRINGS_H
