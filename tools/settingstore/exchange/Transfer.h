// Between a storage and the exchange formats: a section read whole for an
// export, and an import's steps checked whole before any reaches the storage.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_TRANSFER_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_TRANSFER_H

#include <string>
#include <vector>

#include "exchange/Exchange.h"
#include "storage/storage.h"

namespace cli::exchange {

// The section's keys and sub-sections at any depth, each level in the order
// SortedNames gives.
Section ReadSection(storage::IStorageSection* from);

// Empties the tree level by level, so that letting it go does not recurse
// once per level as its destructor would.
void Dismantle(Section& tree);

// The steps that make the tree below an import's target: each section
// created, then its keys set.
std::vector<Change> ChangesOf(const Section& tree);

// Whether the backends take the name as one section: non-empty, no '/', '\'
// or ':' (they would read it as a path).
bool IsSectionName(const std::string& name);

// CliError kUsage for the first change the storage cannot take: a section
// path that is not a chain of section names, a key name holding a NUL, an
// integer that is not four bytes, a deletion of the target itself.
void CheckChanges(const std::vector<Change>& changes);

// Checks every change first, then makes them in order below `target`.
// Deleting what is not there is no error, as when regedit imports a file.
void ApplyChanges(const std::vector<Change>& changes, storage::IStorageSection* target);

}  // namespace cli::exchange

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_TRANSFER_H
