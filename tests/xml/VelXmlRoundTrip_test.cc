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
    NodePtr node(XmlNode::CreateNode());
    if (!OneIn(8)) node->SetName(Text().c_str());
    int attributes = Below(6);
    for (int i = 0; i < attributes; ++i) {
      std::string name = OneIn(4) && node->GetAttributeCount() > 0 ? node->GetAttributeNameAt(0) : Text();
      node->AddAttribute(name.c_str(), Text().c_str());
    }
    int children = depth > 0 ? Below(4) : 0;
    for (int i = 0; i < children; ++i) node->GetChildren()->add(Tree(depth - 1).release());
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

std::string Written(const XmlNode& root, bool formatted) {
  XmlSaver saver;
  saver.SetOutputMode(formatted, "  ");
  return saver.SaveToString(&root);
}

TEST(XmlRoundTripTest, RandomTreesSurviveTheStringForm) {
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

class XmlFileRoundTripTest : public xmltest::TempDirTest {};

TEST_F(XmlFileRoundTripTest, RandomTreesSurviveSaveAndLoad) {
  RandomTrees trees(77);
  const std::string path = PathOf(".storage");
  XmlSaver saver;
  saver.SetOutputMode(true, "  ");
  for (int round = 0; round < 20; ++round) {
    NodePtr tree = trees.Tree(4);
    saver.Save(tree.get(), path.c_str());
    NodePtr back = Parse(xmltest::ReadFile(path));
    ASSERT_EQ(Describe(*back), Describe(*tree)) << "round " << round;
  }
}

TEST(XmlRoundTripTest, EveryByteSurvivesInNamesAndValues) {
  std::string allBytes;
  for (int byte = 1; byte < 256; ++byte) allBytes += static_cast<char>(byte);
  NodePtr root(XmlNode::CreateNode());
  root->SetName(allBytes.c_str());
  root->AddAttribute(allBytes.c_str(), allBytes.c_str());
  NodePtr child(XmlNode::CreateNode());
  child->SetName("");
  child->AddAttribute("", "");
  root->GetChildren()->add(child.release());

  NodePtr back = Parse(Written(*root, false));
  EXPECT_EQ(Describe(*back), Describe(*root));
}

TEST(XmlRoundTripTest, ReservedAndRepeatedNamesStayApart) {
  NodePtr root(XmlNode::CreateNode());
  root->SetName("vel.node");
  root->AddAttribute("vel.name", "a");
  root->AddAttribute("vel.attr1-61", "b");
  root->AddAttribute("a", "c");
  root->AddAttribute("a", "d");
  root->AddAttribute("a", "e");
  NodePtr unnamed(XmlNode::CreateNode());
  unnamed->AddAttribute("vel.name", "not the element's name");
  root->GetChildren()->add(unnamed.release());

  NodePtr back = Parse(Written(*root, true));
  EXPECT_EQ(Describe(*back), Describe(*root));
  EXPECT_EQ(back->GetChildren()->get(0)->getName(), nullptr);
}

TEST(XmlRoundTripTest, VeryDeepTreesAreWrittenAndReadWithoutRecursion) {
  constexpr int kDepth = 100000;
  NodePtr root(XmlNode::CreateNode());
  XmlNode* tip = root.get();
  for (int level = 0; level < kDepth; ++level) {
    NodePtr child(XmlNode::CreateNode());
    child->SetName("section");
    tip->GetChildren()->add(child.release());
    tip = tip->GetChildren()->get(0);
  }
  tip->AddAttribute("name", "bottom");

  std::string text = Written(*root, true);
  // Indentation is capped, so the text grows linearly with the depth.
  EXPECT_LT(text.size(), 400u * kDepth);
  NodePtr back = Parse(text);
  const XmlNode* node = back.get();
  int depth = 0;
  while (node->GetChildren()->size() == 1) {
    node = node->GetChildren()->get(0);
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);
  EXPECT_STREQ(node->GetAttributeValue("name"), "bottom");
}

}  // namespace
