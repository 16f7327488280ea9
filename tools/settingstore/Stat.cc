#include "Stat.h"

#include <cstdint>
#include <cstdio>
#include <vector>

#include "CliError.h"
#include "LiveStorage.h"
#include "shareddom/SharedSettings.h"

namespace cli {

namespace {

struct Usage {
  uint64_t hives = 0;
  uint64_t blocksInUse = 0;
  uint64_t bytesInUse = 0;
  uint64_t freeBlocks = 0;
  uint64_t freeBytes = 0;
  uint64_t carved = 0;
  uint64_t capacity = 0;
};

Usage UsageOf(const std::vector<HiveImage>& hives) {
  Usage usage;
  for (const HiveImage& hive : hives) {
    ++usage.hives;
    usage.carved += hive.carved();
    usage.capacity += hive.AreaSize();
    for (const HiveBlock& block : hive.blocks()) {
      if (block.state == BlockState::kInUse) {
        ++usage.blocksInUse;
        usage.bytesInUse += block.rounded;
      } else if (block.state == BlockState::kFree) {
        ++usage.freeBlocks;
        usage.freeBytes += block.rounded;
      }
    }
  }
  return usage;
}

std::string Line(const char* region, const Usage& usage) {
  const double percent =
      usage.capacity == 0 ? 0.0 : 100.0 * static_cast<double>(usage.carved) / usage.capacity;
  char line[256];
  std::snprintf(
      line, sizeof line, "%-8s %5llu %8llu %11llu %8llu %11llu %9llu %5.1f%%\n", region,
      static_cast<unsigned long long>(usage.hives), static_cast<unsigned long long>(usage.blocksInUse),
      static_cast<unsigned long long>(usage.bytesInUse), static_cast<unsigned long long>(usage.freeBlocks),
      static_cast<unsigned long long>(usage.freeBytes), static_cast<unsigned long long>(usage.carved),
      percent);
  return line;
}

}  // namespace

void PrintStat(const std::string& directory, std::ostream& out) {
  const std::string notLive = "no process has the shared storage in '" + directory + "' open";
  if (!StorageIsLive(directory)) throw CliError(kNotFound, notLive);
  const storage::SharedSettings settings(directory.c_str());
  const Usage nodes = UsageOf(SnapshotHives(settings.storageName));
  if (nodes.hives == 0) throw CliError(kNotFound, notLive);
  out << "region   hives   blocks  bytes used     free  bytes free    carved  full\n"
      << Line("nodes", nodes) << Line("strings", UsageOf(SnapshotHives(settings.mapName)))
      << Line("traits", UsageOf(SnapshotHives(settings.syncName)));
}

}  // namespace cli
