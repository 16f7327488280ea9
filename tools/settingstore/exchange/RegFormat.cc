#include "exchange/RegFormat.h"

namespace cli::exchange {

std::string WriteReg(const Section&, const std::string&, int) { throw CliError(kFailure, "not built yet"); }

std::vector<Change> ReadReg(const std::string&, const std::string&) { throw CliError(kFailure, "not built yet"); }

}  // namespace cli::exchange
