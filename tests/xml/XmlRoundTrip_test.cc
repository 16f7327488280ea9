#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>

#include "XmlTestSupport.h"
#include "support/TempDirectory.h"
#include "xml/VelXmlSaver.h"

namespace {

using xmltest::Describe;
using xmltest::NodePtr;
using xmltest::Parse;

// Trees whose names, attribute names and values hold every byte that needs
// escaping or encoding: markup, whitespace, control and high bytes, the
// reserved prefix and repeated attribute names.
class RandomTrees {
 public:
  explicit RandomTrees(unsigned seed) : random_(seed) {}

  NodePtr Tree(int depth) {
    NodePtr node(CVelXmlNode::createNode());
    if (Below(8) != 0) node->setName(Text().c_str());
    for (int i = Below(6); i > 0; --i) {
      bool repeat = Below(4) == 0 && node->getAttributeCount() > 0;
      node->addAttribute(repeat ? node->getAttributeNameAt(0) : Text().c_str(), Text().c_str());
    }
    for (int i = depth > 0 ? Below(4) : 0; i > 0; --i) node->getChilds()->add(Tree(depth - 1).release());
    return node;
  }

 private:
  std::string Text() {
    static const char* const kNames[] = {"section", "key", "vel.node", "vel.name", "vel.attr0-61", "vel.", "_a.b-c", "9a"};
    if (Below(3) == 0) return kNames[Below(std::size(kNames))];
    std::string text;
    if (Below(16) == 0) {  // every byte, in a rotated order
      int shift = Below(255);
      for (int byte = 1; byte < 256; ++byte) text += static_cast<char>((byte + shift) % 255 + 1);
      return text;
    }
    static const std::string kMarkup = "&<>\"'\t\n\r =;#";
    for (int i = Below(12); i > 0; --i) {
      switch (Below(4)) {
        case 0: text += kMarkup[Below(kMarkup.size())]; break;
        case 1: text += static_cast<char>(1 + Below(0x1F)); break;
        case 2: text += static_cast<char>(0x80 + Below(0x80)); break;
        default: text += static_cast<char>(0x20 + Below(0x5F));
      }
    }
    return text;
  }

  int Below(size_t limit) { return std::uniform_int_distribution<int>(0, static_cast<int>(limit) - 1)(random_); }

  std::mt19937 random_;
};

std::string Written(const CVelXmlNode& root, bool formatted) {
  CVelXmlSaver saver;
  saver.SetOutputMode(formatted, "  ");
  return saver.SaveToString(&root);
}

// The parser takes the bytes one to one whichever encoding the document
// declares, the written one or UTF-8 after a byte order mark.
TEST(XmlRoundTrip, GeneratedTreesSurviveBothFormsAndBothDeclarations) {
  settingstore::test::TempDirectory dir;
  const std::string path = dir.File(".storage");
  CVelXmlSaver saver;
  RandomTrees trees(20240601);
  for (int round = 0; round < 300; ++round) {
    NodePtr tree = trees.Tree(3);
    const std::string expected = Describe(*tree);
    for (bool formatted : {false, true}) {
      std::string text = Written(*tree, formatted);
      ASSERT_EQ(Describe(*Parse(text)), expected) << "round " << round << ", document:\n" << text;
      size_t declared = text.find("?>");
      ASSERT_EQ(text.substr(0, declared), "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"");
      text.replace(0, declared, "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"");
      ASSERT_EQ(Describe(*Parse(text)), expected) << "round " << round << ", document:\n" << text;
    }
    if (round % 30 == 0) {  // files are replaced whole
      saver.Save(tree.get(), path.c_str());
      ASSERT_EQ(xmltest::ReadFile(path), saver.SaveToString(tree.get()));
    }
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

// Freeing, writing and reading loop instead of recursing: a chain this deep
// would overflow the stack otherwise.
TEST(XmlRoundTrip, VeryDeepTreesSurviveWithoutRecursion) {
  constexpr int kDepth = 200000;
  NodePtr root(CVelXmlNode::createNode());
  CVelXmlNode* tip = root.get();
  for (int level = 0; level < kDepth; ++level) {
    tip->getChilds()->add(CVelXmlNode::createNode());
    tip = tip->getChilds()->get(0);
    tip->setName("s");
  }
  tip->addAttribute("name", "bottom");
  std::string text = Written(*root, true);
  EXPECT_LT(text.size(), 300u * kDepth);  // indentation is capped
  NodePtr back = Parse(text);
  const CVelXmlNode* node = back.get();
  int depth = 0;
  for (; node->getChilds()->size() == 1; ++depth) node = node->getChilds()->get(0);
  EXPECT_EQ(depth, kDepth);
  EXPECT_STREQ(node->getAttributeValue("name"), "bottom");
}

}  // namespace
