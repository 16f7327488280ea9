// Reads a key through the public API and verifies what it holds.
#ifndef SETTINGSTORE_TOOLS_STRESS_KEYCHECK_H
#define SETTINGSTORE_TOOLS_STRESS_KEYCHECK_H

#include <optional>
#include <string>

#include "Outcome.h"
#include "ValueCheck.h"
#include "storage/storage.h"

namespace stress {

struct KeyReading {
  enum Result { kChecked, kUnwritten, kRefused, kFailed } result = kFailed;
  std::optional<Stamp> stamp;  // with kChecked
};

// GetType, Read and GetType again. A value replaced between the steps by one
// of another type may be decoded as either; a value that passes no check is
// a failure. `exclusive` says no other thread writes the key, so that no
// error is legitimate.
KeyReading ReadKey(storage::IStorageKey& key, const std::string& place, const std::string& name,
                   Outcome& outcome, bool exclusive);

// Names of an enumerator, checked for duplicates (names compare without
// regard to case); each duplicate is a failure.
std::vector<std::string> CollectNames(storage::INamesEnumerator& names, const std::string& place,
                                      const char* what, Outcome& outcome);

}  // namespace stress

#endif  // SETTINGSTORE_TOOLS_STRESS_KEYCHECK_H
