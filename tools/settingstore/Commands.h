// The tool's commands, each on the section that --path opened. Output goes to
// `out`; a failure throws CliError or the storage's own exception.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_COMMANDS_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_COMMANDS_H

#include <ostream>
#include <string>
#include <vector>

#include "storage/ref.h"
#include "storage/storage.h"

namespace cli {

using storage::IStorageSection;

// The section below root ("" is root itself): CliError "not found" when it
// is not there; OpenOrCreate makes it then.
storage::Ref<IStorageSection> OpenExisting(IStorageSection* root, const std::string& section);
storage::Ref<IStorageSection> OpenOrCreate(IStorageSection* root, const std::string& section);

// Sub-sections (with a trailing '/') first, then keys with type and size.
void List(IStorageSection* root, const std::string& section, bool recursive, std::ostream& out);
void Get(IStorageSection* root, const std::string& section, const std::string& key, bool raw,
         std::ostream& out);
void Set(IStorageSection* root, const std::string& section, const std::string& key, storage::Type type,
         const std::string& value);
void Remove(IStorageSection* root, const std::string& section, const std::string& key);
void RemoveSection(IStorageSection* root, const std::string& section, bool recursive);
void Dump(IStorageSection* root, const std::string& section, std::ostream& out);
void Load(IStorageSection* root, const std::string& file, const std::string& section);

// A whole file's bytes; CliError "not found" when it cannot be read.
std::string ReadFileBytes(const std::string& path);

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_COMMANDS_H
