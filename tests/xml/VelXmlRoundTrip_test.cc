#include <gtest/gtest.h>

#include <iterator>
#include <random>
#include <string>

#include "XmlTestSupport.h"
#include "xml/XmlSaver.h"

namespace {

using xmltest::Describe;
using xmltest::NodePtr;
using xmltest::Parse;

// Strings that stress the writer's escaping and its reserved names: markup
// characters, whitespace, control bytes, high bytes and look-alikes of the
// written forms.
class RandomTrees {
 public:
  explicit RandomTrees(unsigned seed) : random_(seed) {}

  NodePtr Tree(int depth) {
    NodePtr node(CVelXmlNode::createNode());
    if (!OneIn(8)) node->setName(Text().c_str());
    int attributes = Below(6);
    for (int i = 0; i < attributes; ++i) {
      std::string name = OneIn(4) && node->getAttributeCount() > 0 ? node->getAttributeNameAt(0) : Text();
      node->addAttribute(name.c_str(), Text().c_str());
    }
    int children = depth > 0 ? Below(4) : 0;
    for (int i = 0; i < children; ++i) node->getChilds()->add(Tree(depth - 1).release());
    return node;
  }

 private:
  std::string Text() {
    static const char* const kSamples[] = {"section",      "key",  "name", "vel.node", "vel.name",
                                           "vel.attr0-61", "vel.", "xml",  "_a.b-c",   "9a"};
    if (OneIn(3)) return kSamples[Below(std::size(kSamples))];
    std::string text;
    int length = Below(12);
    for (int i = 0; i < length; ++i) text += Byte();
    return text;
  }

  char Byte() {
    static const std::string kMarkupAndBlanks = "&<>\"'\t\n\r =;#";
    switch (Below(4)) {
      case 0:
        return kMarkupAndBlanks[Below(kMarkupAndBlanks.size())];
      case 1:
        return static_cast<char>(1 + Below(0x1F));  // control bytes
      case 2:
        return static_cast<char>(0x80 + Below(0x80));  // high bytes
      default:
        return static_cast<char>(0x20 + Below(0x5F));
    }
  }

  int Below(size_t limit) {
    return std::uniform_int_distribution<int>(0, static_cast<int>(limit) - 1)(random_);
  }
  bool OneIn(int n) { return Below(static_cast<size_t>(n)) == 0; }

  std::mt19937 random_;
};

std::string Written(const CVelXmlNode& root, bool formatted) {
  CVelXmlSaver saver;
  saver.SetOutputMode(formatted, "  ");
  return saver.SaveToString(&root);
}

TEST(VelXmlRoundTripTest, RandomTreesSurviveTheStringForm) {
  RandomTrees trees(20240601);
  for (int round = 0; round < 300; ++round) {
    NodePtr tree = trees.Tree(3);
    for (bool formatted : {false, true}) {
      std::string text = Written(*tree, formatted);
      NodePtr back = Parse(text);
      ASSERT_EQ(Describe(*back), Describe(*tree)) << "round " << round << ", document:\n" << text;
    }
  }
}

class VelXmlFileRoundTripTest : public xmltest::TempDirTest {};

TEST_F(VelXmlFileRoundTripTest, RandomTreesSurviveSaveAndLoad) {
  RandomTrees trees(77);
  const std::string path = PathOf(".storage");
  CVelXmlSaver saver;
  saver.SetOutputMode(true, "  ");
  for (int round = 0; round < 20; ++round) {
    NodePtr tree = trees.Tree(4);
    saver.Save(tree.get(), path.c_str());
    NodePtr back = Parse(xmltest::ReadFile(path));
    ASSERT_EQ(Describe(*back), Describe(*tree)) << "round " << round;
  }
}

TEST(VelXmlRoundTripTest, EveryByteSurvivesInNamesAndValues) {
  std::string allBytes;
  for (int byte = 1; byte < 256; ++byte) allBytes += static_cast<char>(byte);
  NodePtr root(CVelXmlNode::createNode());
  root->setName(allBytes.c_str());
  root->addAttribute(allBytes.c_str(), allBytes.c_str());
  NodePtr child(CVelXmlNode::createNode());
  child->setName("");
  child->addAttribute("", "");
  root->getChilds()->add(child.release());

  NodePtr back = Parse(Written(*root, false));
  EXPECT_EQ(Describe(*back), Describe(*root));
}

TEST(VelXmlRoundTripTest, ReservedAndRepeatedNamesStayApart) {
  NodePtr root(CVelXmlNode::createNode());
  root->setName("vel.node");
  root->addAttribute("vel.name", "a");
  root->addAttribute("vel.attr1-61", "b");
  root->addAttribute("a", "c");
  root->addAttribute("a", "d");
  root->addAttribute("a", "e");
  NodePtr unnamed(CVelXmlNode::createNode());
  unnamed->addAttribute("vel.name", "not the element's name");
  root->getChilds()->add(unnamed.release());

  NodePtr back = Parse(Written(*root, true));
  EXPECT_EQ(Describe(*back), Describe(*root));
  EXPECT_EQ(back->getChilds()->get(0)->getName(), nullptr);
}

TEST(VelXmlRoundTripTest, VeryDeepTreesAreWrittenAndReadWithoutRecursion) {
  constexpr int kDepth = 100000;
  NodePtr root(CVelXmlNode::createNode());
  CVelXmlNode* tip = root.get();
  for (int level = 0; level < kDepth; ++level) {
    NodePtr child(CVelXmlNode::createNode());
    child->setName("section");
    tip->getChilds()->add(child.release());
    tip = tip->getChilds()->get(0);
  }
  tip->addAttribute("name", "bottom");

  std::string text = Written(*root, true);
  // Indentation is capped, so the text grows linearly with the depth.
  EXPECT_LT(text.size(), 400u * kDepth);
  NodePtr back = Parse(text);
  const CVelXmlNode* node = back.get();
  int depth = 0;
  while (node->getChilds()->size() == 1) {
    node = node->getChilds()->get(0);
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_STREQ(node->getAttributeValue("name"), "bottom");
}

}  // namespace
