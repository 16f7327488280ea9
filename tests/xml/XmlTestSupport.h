// Helpers shared by the XML node library tests.
#ifndef SETTINGSTORE_TESTS_XML_XMLTESTSUPPORT_H
#define SETTINGSTORE_TESTS_XML_XMLTESTSUPPORT_H

#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "xml/VelXmlNode.h"
#include "xml/VelXmlParser.h"

namespace xmltest {

using NodePtr = std::unique_ptr<CVelXmlNode>;

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline NodePtr Parse(const std::string& text) {
  CVelXmlParser parser;
  parser.loadFromString(text.data(), text.size());
  return NodePtr(parser.dettachRoot());
}

// Bytes made visible, so that a failed comparison shows what differs.
inline std::string Visible(const char* text) {
  if (!text) return "<null>";
  std::string out = "\"";
  for (const char* p = text; *p; ++p) {
    auto byte = static_cast<unsigned char>(*p);
    if (byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '"') {
      out += *p;
    } else {
      out += "\\x";
      out += "0123456789abcdef"[byte >> 4];
      out += "0123456789abcdef"[byte & 0xF];
    }
  }
  return out + "\"";
}

// A whole tree, one element per line indented by depth, for comparing trees.
inline std::string Describe(const CVelXmlNode& node, size_t depth = 0) {
  std::string out = std::string(depth * 2, ' ') + Visible(node.getName());
  for (unsigned i = 0; i < node.getAttributeCount(); ++i) {
    out += " " + Visible(node.getAttributeNameAt(i)) + "=" + Visible(node.getAttributeValueAt(i));
  }
  out += "\n";
  for (int i = 0; i < node.getChilds()->size(); ++i) out += Describe(*node.getChilds()->get(i), depth + 1);
  return out;
}

}  // namespace xmltest

#endif  // SETTINGSTORE_TESTS_XML_XMLTESTSUPPORT_H
