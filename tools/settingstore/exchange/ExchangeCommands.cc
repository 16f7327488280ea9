#include "exchange/ExchangeCommands.h"

#include "Commands.h"
#include "XmlDump.h"
#include "exchange/JsonFormat.h"
#include "exchange/RegFormat.h"
#include "exchange/Transfer.h"

namespace cli::exchange {

std::string RegRoot(const StorageOptions& storage, const ExchangeOptions& options) {
  if (!options.regRoot.empty()) return NormalizeSectionPath(options.regRoot);
  const std::string section = NormalizeSectionPath(options.section);
  if (ParseStorageType(storage.type) == storage::STORAGE_REGISTRY) {
    const std::string path = LongRegistryPath(storage.path);
    return section.empty() ? path : path + '\\' + section;
  }
  if (section.empty()) return "Settings";
  return section.substr(section.rfind('\\') + 1);  // npos + 1 is 0
}

std::string Export(storage::IStorageSection* root, const ExchangeOptions& options,
                   const std::string& regRoot) {
  const storage::Ref<storage::IStorageSection> section = OpenExisting(root, options.section);
  if (options.format == "xml") return DumpXml(section.get());
  Section tree = ReadSection(section.get());
  std::string text = options.format == "json" ? WriteJson(tree) : WriteReg(tree, regRoot, options.regVersion);
  Dismantle(tree);
  return text;
}

namespace {

std::vector<Change> Parse(const std::string& input, const ExchangeOptions& options,
                          const std::string& regRoot) {
  if (options.format == "json") return ReadJson(input);
  if (options.format == "reg") return ReadReg(input, regRoot);
  storage::Ref<storage::IStorageSection> document;
  try {
    document = CheckedXml(input);
  } catch (const CVelXmlParseException& error) {
    throw CliError(kUsage, error.what());
  } catch (const CliError& error) {
    throw CliError(kUsage, error.what());
  }
  Section tree = ReadSection(document.get());
  std::vector<Change> changes = ChangesOf(tree);
  Dismantle(tree);
  return changes;
}

}  // namespace

std::vector<Change> ParseImport(const std::string& input, const ExchangeOptions& options,
                                const std::string& regRoot) {
  std::vector<Change> changes = Parse(input, options, regRoot);
  CheckChanges(changes);
  return changes;
}

void Import(storage::IStorageSection* root, const ExchangeOptions& options,
            const std::vector<Change>& changes) {
  const storage::Ref<storage::IStorageSection> target = OpenOrCreate(root, options.section);
  ApplyChanges(changes, target.get());
}

}  // namespace cli::exchange
