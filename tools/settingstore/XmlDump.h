// A storage subtree as an XML document in the XML backend's own layout, and
// back: what `dump` writes, `load` reads, so any backend copies into any other.
#ifndef SETTINGSTORE_TOOLS_SETTINGSTORE_XMLDUMP_H
#define SETTINGSTORE_TOOLS_SETTINGSTORE_XMLDUMP_H

#include <string>

#include "storage/ref.h"
#include "storage/storage.h"

namespace cli {

std::string DumpXml(storage::IStorageSection* section);

// The document as a storage, once it is known to copy whole; CliError when
// it cannot be, so that a caller refuses it before changing anything.
storage::Ref<storage::IStorageSection> CheckedXml(const std::string& document);

// Merges the document's sections and keys into `section`; a document that
// cannot be copied whole is refused (CliError) before anything changes.
void LoadXml(const std::string& document, storage::IStorageSection* section);

}  // namespace cli

#endif  // SETTINGSTORE_TOOLS_SETTINGSTORE_XMLDUMP_H
