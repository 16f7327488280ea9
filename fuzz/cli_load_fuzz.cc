// The settingstore tool's `load` on any document: it merges into an XML
// storage, refuses the whole document, or fails with a documented error, and
// what it merged survives a dump and a second load unchanged (dump, load, dump
// gives the same text).
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "FuzzSupport.h"
#include "settingstore/CliError.h"
#include "settingstore/XmlDump.h"
#include "xmlfile/XmlStorage.h"

namespace {

// A fresh in-memory XML storage to load into; the tree outlives its section.
struct Target {
  std::unique_ptr<XmlNode> document{XmlNode::CreateNode()};
  storage::Ref<storage::IStorageSection> root{new storage::XmlStorage(document.get())};
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string document(reinterpret_cast<const char*>(data), size);
  Target first;
  // The tool refuses a document it cannot copy whole, and then changes nothing.
  bool refused = false;
  const bool loaded = fuzz::RunDocumented([&] {
    try {
      cli::LoadXml(document, first.root.get());
    } catch (const cli::CliError&) {
      refused = true;
    }
  });
  if (refused) {
    fuzz::Check(
        fuzz::Names(first.root->EnumSections()).empty() && fuzz::Names(first.root->EnumKeys()).empty(),
        "a refused document was loaded in part");
  }
  if (!loaded || refused) return 0;

  std::string dumped;
  if (!fuzz::RunDocumented([&] { dumped = cli::DumpXml(first.root.get()); })) {
    fuzz::Fault("a loaded storage cannot be dumped");
  }
  Target second;
  if (!fuzz::RunDocumented([&] { cli::LoadXml(dumped, second.root.get()); })) {
    fuzz::Fault("the dump of a loaded storage does not load:\n" + dumped);
  }
  std::string dumped_again;
  if (!fuzz::RunDocumented([&] { dumped_again = cli::DumpXml(second.root.get()); })) {
    fuzz::Fault("a reloaded storage cannot be dumped");
  }
  fuzz::Check(dumped_again == dumped, "dump, load, dump changed the document");
  return 0;
}
