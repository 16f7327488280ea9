// Walking a storage tree through the public interfaces, the same way for
// every backend.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_TREECOPY_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_TREECOPY_H

#include <string>
#include <vector>

#include "storage/storage.h"

namespace cli {

// The names an enumerator yields, sorted, so that every backend lists and
// dumps a tree in one order.
std::vector<std::string> SortedNames(storage::INamesEnumerator* names);

// The key's stored bytes, exactly as Read gives them (four for an integer);
// CliError (kFailure) when Read refuses.
std::string ReadValue(storage::IStorageKey* key);

// Throws CliError (kFailure) for the first item under `from` that cannot be
// copied as it is: a section name that the backends would read as a path
// (empty, or holding '/', '\' or ':'), an empty key name, two sections or two
// keys whose names differ only in case (the backends would make them one), or
// a key whose value cannot be read. Changes nothing; any depth.
void CheckTree(storage::IStorageSection* from);

// Every sub-section and key of `from`, at any depth, written into `to`
// (merging with what `to` holds already). Items are checked as CheckTree
// checks them, but only as the copy reaches them: call CheckTree first when a
// half-made copy must not happen.
void CopyTree(storage::IStorageSection* from, storage::IStorageSection* to);

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_TREECOPY_H
