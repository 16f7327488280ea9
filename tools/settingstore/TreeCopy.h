// Walking a storage tree through the public interfaces, the same way for
// every backend.
#ifndef SETTINGSTORE_TOOLS_TREECOPY_H
#define SETTINGSTORE_TOOLS_TREECOPY_H

#include <string>
#include <vector>

#include "storage/storage.h"

namespace cli {

// The names an enumerator yields, sorted, so that every backend lists and
// dumps a tree in one order.
std::vector<std::string> SortedNames(storage::INamesEnumerator* names);

// The key's stored bytes, exactly as Read gives them.
std::string ReadValue(storage::IStorageKey* key);

// Every sub-section and key of `from`, recursively, written into `to`
// (merging with what `to` holds already).
void CopyTree(storage::IStorageSection* from, storage::IStorageSection* to);

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_TREECOPY_H
