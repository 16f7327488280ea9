// `watch`: prints each change under a section as it happens, found by
// comparing what the section held before a wake with what it holds after.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_WATCH_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_WATCH_H

#include <ostream>
#include <string>

#include "StorageOpening.h"

namespace cli {

// Runs until interrupted, until the section is deleted, or once `count`
// changes (when above 0) are printed.
void Watch(const StorageOptions& options, const std::string& section, bool recursive, long count,
           std::ostream& out);

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_WATCH_H
