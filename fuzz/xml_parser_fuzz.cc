// XML node library: any text either parses or raises CVelXmlParseException;
// a parsed tree written out by the saver (both output modes) parses back as
// the same tree, and writing that again gives the same text.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "FuzzSupport.h"
#include "xml/XmlParser.h"
#include "xml/XmlSaver.h"

namespace {

using NodePtr = std::unique_ptr<XmlNode>;

NodePtr Parse(const std::string& text) {
  XmlParser parser;
  parser.TrimWhitespaces(true);
  parser.LoadFromString(text.data(), text.size());
  NodePtr root(parser.DetachRoot());
  fuzz::Check(root != nullptr, "a parse that succeeded gave no root");
  return root;
}

bool SameText(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return std::string(a) == b;
}

bool SameNode(const XmlNode& a, const XmlNode& b) {
  if (!SameText(a.Name(), b.Name()) || a.GetAttributeCount() != b.GetAttributeCount()) return false;
  for (unsigned i = 0; i < a.GetAttributeCount(); ++i) {
    if (!SameText(a.GetAttributeNameAt(i), b.GetAttributeNameAt(i)) ||
        !SameText(a.GetAttributeValueAt(i), b.GetAttributeValueAt(i))) {
      return false;
    }
  }
  return a.GetChildren()->Size() == b.GetChildren()->Size();
}

// Compares two trees without recursion: a parsed tree may be very deep.
bool SameTree(const XmlNode& a, const XmlNode& b) {
  std::vector<std::pair<const XmlNode*, const XmlNode*>> pending{{&a, &b}};
  while (!pending.empty()) {
    auto [left, right] = pending.back();
    pending.pop_back();
    if (!SameNode(*left, *right)) return false;
    for (int i = 0; i < left->GetChildren()->Size(); ++i) {
      const XmlNode* left_child = left->GetChildren()->At(i);
      const XmlNode* right_child = right->GetChildren()->At(i);
      if (left_child == nullptr || right_child == nullptr) return false;
      pending.emplace_back(left_child, right_child);
    }
  }
  return true;
}

void CheckRoundTrip(const XmlNode& root, bool formatted) {
  XmlSaver saver;
  saver.SetOutputMode(formatted, formatted ? "  " : nullptr);
  const std::string written = saver.SaveToString(&root);
  NodePtr reparsed;
  try {
    reparsed = Parse(written);
  } catch (const CVelXmlParseException& error) {
    fuzz::Fault(std::string("the saver wrote text its parser refuses: ") + error.what());
  }
  fuzz::Check(SameTree(root, *reparsed), "a saved tree parses back different");
  fuzz::Check(saver.SaveToString(reparsed.get()) == written, "saving a reparsed tree gives other text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  NodePtr root;
  try {
    root = Parse(text);
  } catch (const CVelXmlParseException&) {
    return 0;
  }
  CheckRoundTrip(*root, true);
  CheckRoundTrip(*root, false);
  return 0;
}
