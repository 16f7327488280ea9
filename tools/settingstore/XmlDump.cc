#include "XmlDump.h"

#include <memory>

#include "CliError.h"
#include "TreeCopy.h"
#include "xml/XmlSaver.h"
#include "xmlfile/XmlStorage.h"

namespace cli {

// The tree is copied into the XML backend's own section over a fresh
// document, so the dump holds exactly the elements and encodings that the
// backend writes to its files.
std::string DumpXml(storage::IStorageSection* section) {
  std::unique_ptr<XmlNode> root(XmlNode::CreateNode());
  storage::Ref<storage::IStorageSection> document(new storage::XmlStorage(root.get()));
  CopyTree(section, document.get());
  document.reset();
  XmlSaver saver;
  saver.SetOutputMode(true, "  ");
  return saver.SaveToString(root.get());
}

storage::Ref<storage::IStorageSection> CheckedXml(const std::string& document) {
  storage::Ref<storage::IStorageSection> source(
      storage::GetXmlStorage(document.data(), static_cast<unsigned>(document.size())));
  try {
    CheckTree(source.get());
  } catch (const CliError& error) {
    throw CliError(error.status(), std::string(error.what()) + "; nothing was loaded");
  }
  return source;
}

void LoadXml(const std::string& document, storage::IStorageSection* section) {
  CopyTree(CheckedXml(document).get(), section);
}

}  // namespace cli
