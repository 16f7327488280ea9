// Settings as a .reg file, as regedit writes and reads them.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_REGFORMAT_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_REGFORMAT_H

#include <string>
#include <vector>

#include "exchange/Exchange.h"

namespace cli::exchange {

// `rootPath` is the path the file's top [...] line gives the section;
// `version` 5 or 4.
std::string WriteReg(const Section& tree, const std::string& rootPath, int version);
std::vector<Change> ReadReg(const std::string& fileBytes, const std::string& rootPath);

}  // namespace cli::exchange

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_REGFORMAT_H
