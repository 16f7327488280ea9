// export and import: a section's subtree out to a .reg, JSON or XML file and
// back in.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_EXCHANGECOMMANDS_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_EXCHANGECOMMANDS_H

#include <string>
#include <vector>

#include "StorageOpening.h"
#include "exchange/Exchange.h"

namespace cli::exchange {

struct ExchangeOptions {
  std::string format;   // "reg", "json" or "xml"
  std::string section;  // below the storage's root; "" for the root
  int regVersion = 5;   // 5 for "Windows Registry Editor Version 5.00", 4 for "REGEDIT4"
  std::string regRoot;  // the path a .reg file gives the section; empty: RegRoot's choice
};

// The path a .reg file gives the section: for a registry storage its
// registry path with the root spelled out, "HKEY_CURRENT_USER\Software\Example"
// and then SECTION; for the others the section's own name, or "Settings" for
// the storage's root.
std::string RegRoot(const StorageOptions& storage, const ExchangeOptions& options);

// The subtree below the section, in the format.
std::string Export(storage::IStorageSection* root, const ExchangeOptions& options,
                   const std::string& regRoot);

// The input parsed and checked whole (InputError or CliError kUsage, and
// nothing is changed), into the steps that Import then makes.
std::vector<Change> ParseImport(const std::string& input, const ExchangeOptions& options,
                                const std::string& regRoot);
void Import(storage::IStorageSection* root, const ExchangeOptions& options,
            const std::vector<Change>& changes);

}  // namespace cli::exchange

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_EXCHANGE_EXCHANGECOMMANDS_H
