// `check`: the offline examination of a shared DOM storage from its .dm2
// files alone. Nothing of the library's shared memory is opened or changed.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_STORECHECK_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_STORECHECK_H

#include <cstdint>
#include <ostream>
#include <string>

#include "HiveImage.h"

namespace cli {

struct CheckSummary {
  uint64_t nodeHives = 0;
  uint64_t stringHives = 0;
  uint64_t blocksInUse = 0;
  uint64_t bytesInUse = 0;
  uint64_t freeBlocks = 0;
  uint64_t freeBytes = 0;
  uint64_t leakedBlocks = 0;
  uint64_t sections = 0;
  uint64_t keys = 0;
  uint64_t strings = 0;
  uint64_t textBytes = 0;
};

struct CheckResult {
  Findings findings;
  CheckSummary summary;
  // Leaks count as damage only when asked for.
  bool sound(bool strict) const { return findings.damage.empty() && (!strict || findings.leaks.empty()); }
};

// Verifies the files' checksums and hash chains, walks the string table and
// the tree, and finds blocks in use that neither reaches (leaks). A directory
// without the tree's first hive file is "not found" (CliError).
CheckResult CheckStorage(const std::string& directory);

// The damage and the leaks (at most a screenful of each, then how many
// more), then the summary and the verdict.
void PrintCheck(const CheckResult& result, bool strict, std::ostream& out);

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_STORECHECK_H
