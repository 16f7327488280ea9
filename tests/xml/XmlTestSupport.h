// Helpers shared by the XML node library tests.
#ifndef SETTINGSTORE_TESTS_XML_XMLTESTSUPPORT_H
#define SETTINGSTORE_TESTS_XML_XMLTESTSUPPORT_H

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "xml/XmlNode.h"
#include "xml/XmlParser.h"

namespace xmltest {

using NodePtr = std::unique_ptr<XmlNode>;

// A fresh directory per test, removed with everything in it afterwards.
class TempDirTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::random_device random;
    do {
      dir_ = std::filesystem::temp_directory_path() / ("xml_test_" + std::to_string(random()));
    } while (!std::filesystem::create_directory(dir_));
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string PathOf(const char* name) const { return (dir_ / name).string(); }

  std::vector<std::string> FilesInDir() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir_)) {
      names.push_back(entry.path().filename().string());
    }
    return names;
  }

  std::filesystem::path dir_;
};

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline NodePtr Parse(const std::string& text) {
  XmlParser parser;
  parser.trim_whitespaces(true);
  parser.LoadFromString(text.data(), text.size());
  return NodePtr(parser.DetachRoot());
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
      static const char kHex[] = "0123456789abcdef";
      out += "\\x";
      out += kHex[byte >> 4];
      out += kHex[byte & 0xF];
    }
  }
  return out + "\"";
}

// A full description of a tree, one element per line, for comparing trees.
inline void Describe(const XmlNode& node, int depth, std::string& out) {
  out += std::string(static_cast<size_t>(depth) * 2, ' ') + Visible(node.getName());
  for (unsigned i = 0; i < node.GetAttributeCount(); ++i) {
    out += " " + Visible(node.GetAttributeNameAt(i)) + "=" + Visible(node.GetAttributeValueAt(i));
  }
  out += "\n";
  const XmlNodes& children = *node.GetChildren();
  for (int i = 0; i < children.size(); ++i) Describe(*children.get(i), depth + 1, out);
}

inline std::string Describe(const XmlNode& node) {
  std::string out;
  Describe(node, 0, out);
  return out;
}

}  // namespace xmltest

#endif  // SETTINGSTORE_TESTS_XML_XMLTESTSUPPORT_H
