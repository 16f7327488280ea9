#include "xml/XmlNode.h"

#include <gtest/gtest.h>

#include <cstring>

#include "XmlTestSupport.h"

namespace {

using xmltest::NodePtr;

NodePtr NamedNode(const char* name) {
  NodePtr node(XmlNode::CreateNode());
  node->SetName(name);
  return node;
}

TEST(XmlNodeTest, NewNodeIsEmptyWithAChildList) {
  NodePtr node(XmlNode::CreateNode());
  EXPECT_EQ(node->getName(), nullptr);
  EXPECT_EQ(node->GetAttributeCount(), 0u);
  ASSERT_NE(node->GetChildren(), nullptr);
  EXPECT_EQ(node->GetChildren()->size(), 0);
}

TEST(XmlNodeTest, NameIsCopiedAndCanBeRemoved) {
  char buffer[] = "section";
  NodePtr node(XmlNode::CreateNode());
  node->SetName(buffer);
  std::strcpy(buffer, "changed");
  EXPECT_STREQ(node->getName(), "section");
  node->SetName("");
  EXPECT_STREQ(node->getName(), "");
  node->SetName(nullptr);
  EXPECT_EQ(node->getName(), nullptr);
}

TEST(XmlNodeTest, AttributesKeepOrderAndAreCopied) {
  char value[] = "Width";
  NodePtr node(XmlNode::CreateNode());
  node->AddAttribute("name", value);
  node->AddAttribute("value", "1");
  node->AddAttribute("name", "second");
  std::strcpy(value, "xxxxx");

  ASSERT_EQ(node->GetAttributeCount(), 3u);
  EXPECT_STREQ(node->GetAttributeNameAt(0), "name");
  EXPECT_STREQ(node->GetAttributeValueAt(0), "Width");
  EXPECT_STREQ(node->GetAttributeNameAt(2), "name");
  EXPECT_STREQ(node->GetAttributeValueAt(2), "second");
  EXPECT_EQ(node->GetAttributeNameAt(3), nullptr);
  EXPECT_EQ(node->GetAttributeValueAt(3), nullptr);

  // Lookups find the first attribute of a name, case-sensitively.
  EXPECT_STREQ(node->GetAttributeValue("name"), "Width");
  EXPECT_EQ(node->GetAttributeValue("NAME"), nullptr);
  EXPECT_EQ(node->GetAttributeValue(nullptr), nullptr);
  EXPECT_EQ(node->GetAttributeIndex("value", 0), 1u);
  EXPECT_EQ(node->GetAttributeIndex("name", 1), 2u);
  EXPECT_EQ(node->GetAttributeIndex("size", 0), 0xFFFFFFFFu);
  EXPECT_EQ(node->GetAttributeIndex("name", 3), 0xFFFFFFFFu);
}

TEST(XmlNodeTest, SetAttributeValueReplacesByIndex) {
  NodePtr node(XmlNode::CreateNode());
  node->AddAttribute("value", "old");
  node->AddAttribute("type", "String");
  char replacement[] = "new";
  EXPECT_TRUE(node->SetAttributeValue(node->GetAttributeIndex("value", 0), replacement));
  std::strcpy(replacement, "bad");
  EXPECT_STREQ(node->GetAttributeValue("value"), "new");
  EXPECT_STREQ(node->GetAttributeValue("type"), "String");

  EXPECT_FALSE(node->SetAttributeValue(2, "x"));
  EXPECT_FALSE(node->SetAttributeValue(0xFFFFFFFF, "x"));
  EXPECT_EQ(node->GetAttributeCount(), 2u);
}

TEST(XmlNodeTest, NullAttributeTextIsStoredAsEmpty) {
  NodePtr node(XmlNode::CreateNode());
  node->AddAttribute("name", nullptr);
  node->AddAttribute(nullptr, "v");
  EXPECT_STREQ(node->GetAttributeValue("name"), "");
  EXPECT_STREQ(node->GetAttributeValue(""), "v");
  node->SetAttributeValue(1, nullptr);
  EXPECT_STREQ(node->GetAttributeValueAt(1), "");
}

TEST(XmlNodesTest, AddAppendsAndGetChecksTheRange) {
  NodePtr parent = NamedNode("parent");
  XmlNodes* children = parent->GetChildren();
  for (const char* name : {"a", "b", "c"}) children->add(NamedNode(name).release());
  children->add(nullptr);

  ASSERT_EQ(children->size(), 3);
  EXPECT_STREQ(children->get(0)->getName(), "a");
  EXPECT_STREQ(children->get(2)->getName(), "c");
  EXPECT_EQ(children->get(-1), nullptr);
  EXPECT_EQ(children->get(3), nullptr);
}

TEST(XmlNodesTest, DelRemovesOneChildWithItsSubtree) {
  NodePtr parent = NamedNode("parent");
  XmlNodes* children = parent->GetChildren();
  for (const char* name : {"a", "b", "c"}) children->add(NamedNode(name).release());
  XmlNode* middle = children->get(1);
  middle->GetChildren()->add(NamedNode("grandchild").release());
  middle->GetChildren()->get(0)->GetChildren()->add(NamedNode("great-grandchild").release());

  EXPECT_TRUE(children->del(1));
  ASSERT_EQ(children->size(), 2);
  EXPECT_STREQ(children->get(0)->getName(), "a");
  EXPECT_STREQ(children->get(1)->getName(), "c");

  EXPECT_FALSE(children->del(2));
  EXPECT_FALSE(children->del(-1));
  EXPECT_EQ(children->size(), 2);
}

// A pinned node survives its removal, alone or inside a removed or freed
// subtree, until its last unpin; ASan reports a read after free or a leak.
TEST(XmlNodesTest, PinnedNodesOutliveTheirRemoval) {
  NodePtr parent = NamedNode("parent");
  XmlNodes* children = parent->GetChildren();
  children->add(NamedNode("pinned").release());
  children->add(NamedNode("holder").release());
  XmlNode* pinned = children->get(0);
  XmlNode* holder = children->get(1);
  holder->GetChildren()->add(NamedNode("deep").release());
  XmlNode* deep = holder->GetChildren()->get(0);
  pinned->GetChildren()->add(NamedNode("child").release());
  pinned->pin();
  pinned->pin();
  deep->pin();

  EXPECT_FALSE(pinned->IsRemoved());
  ASSERT_TRUE(children->del(0));
  EXPECT_TRUE(pinned->IsRemoved());
  EXPECT_STREQ(pinned->getName(), "pinned");
  EXPECT_STREQ(pinned->GetChildren()->get(0)->getName(), "child");
  pinned->unpin();
  EXPECT_STREQ(pinned->getName(), "pinned");
  pinned->unpin();  // frees it with its child

  parent.reset();  // frees the holder, but not its pinned child
  EXPECT_TRUE(deep->IsRemoved());
  EXPECT_STREQ(deep->getName(), "deep");
  deep->unpin();

  // Unpinned while still in the tree: the tree frees it as usual.
  NodePtr tree = NamedNode("tree");
  tree->GetChildren()->add(NamedNode("leaf").release());
  tree->GetChildren()->get(0)->pin();
  tree->GetChildren()->get(0)->unpin();
  EXPECT_FALSE(tree->GetChildren()->get(0)->IsRemoved());
}

// Freeing must not recurse once per level: a chain as deep as this would
// overflow the stack otherwise.
constexpr int kDeepChain = 200000;

TEST(XmlNodesTest, VeryDeepTreesAreFreedWithoutRecursion) {
  NodePtr root = NamedNode("root");
  XmlNode* tip = root.get();
  for (int level = 0; level < kDeepChain; ++level) {
    tip->GetChildren()->add(XmlNode::CreateNode());
    tip = tip->GetChildren()->get(0);
  }
  int depth = 0;
  for (const XmlNode* node = root.get(); node->GetChildren()->size() > 0;
       node = node->GetChildren()->get(0)) {
    ++depth;
  }
  EXPECT_EQ(depth, kDeepChain);
  root.reset();  // a crash here is the failure this test is about
}

}  // namespace
