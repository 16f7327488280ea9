// A shared storage as the processes that have it open see it: whether any
// does, and copies of its hives taken from shared memory.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_LIVESTORAGE_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_LIVESTORAGE_H

#include <string>
#include <vector>

#include "HiveImage.h"

namespace cli {

// Whether some process has the shared storage of this directory up: it holds
// the storage's block mutex from before its hives load until after they are
// saved. Only the mutex is opened, so the storage's memory is never touched.
// A CliError when the system cannot tell.
bool StorageIsLive(const std::string& directory);

// Copies of the hives of the segments named after this prefix, in chain
// order; empty when none exists. A copy of memory that others change while
// it is taken is a snapshot for counting, not a consistent image.
std::vector<HiveImage> SnapshotHives(const std::string& namePrefix);

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_LIVESTORAGE_H
