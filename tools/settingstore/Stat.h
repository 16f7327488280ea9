// `stat`: how full the hives of a live shared storage are, region by region.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_STAT_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_STAT_H

#include <ostream>
#include <string>

namespace cli {

// One line for each of the tree's nodes, the string table and the access
// traits. A storage that no process has open is "not found" (CliError).
void PrintStat(const std::string& directory, std::ostream& out);

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_STAT_H
