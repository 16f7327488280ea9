#include "xml/XmlNode.h"

#include <gtest/gtest.h>

#include <cstring>

#include "XmlTestSupport.h"

namespace {

using xmltest::NodePtr;

NodePtr NamedNode(const char* name) {
  NodePtr node(CVelXmlNode::createNode());
  node->setName(name);
  return node;
}

TEST(VelXmlNodeTest, NewNodeIsEmptyWithAChildList) {
  NodePtr node(CVelXmlNode::createNode());
  EXPECT_EQ(node->getName(), nullptr);
  EXPECT_EQ(node->getAttributeCount(), 0u);
  ASSERT_NE(node->getChilds(), nullptr);
  EXPECT_EQ(node->getChilds()->size(), 0);
}

TEST(VelXmlNodeTest, NameIsCopiedAndCanBeRemoved) {
  char buffer[] = "section";
  NodePtr node(CVelXmlNode::createNode());
  node->setName(buffer);
  std::strcpy(buffer, "changed");
  EXPECT_STREQ(node->getName(), "section");
  node->setName("");
  EXPECT_STREQ(node->getName(), "");
  node->setName(nullptr);
  EXPECT_EQ(node->getName(), nullptr);
}

TEST(VelXmlNodeTest, AttributesKeepOrderAndAreCopied) {
  char value[] = "Width";
  NodePtr node(CVelXmlNode::createNode());
  node->addAttribute("name", value);
  node->addAttribute("value", "1");
  node->addAttribute("name", "second");
  std::strcpy(value, "xxxxx");

  ASSERT_EQ(node->getAttributeCount(), 3u);
  EXPECT_STREQ(node->getAttributeNameAt(0), "name");
  EXPECT_STREQ(node->getAttributeValueAt(0), "Width");
  EXPECT_STREQ(node->getAttributeNameAt(2), "name");
  EXPECT_STREQ(node->getAttributeValueAt(2), "second");
  EXPECT_EQ(node->getAttributeNameAt(3), nullptr);
  EXPECT_EQ(node->getAttributeValueAt(3), nullptr);

  // Lookups find the first attribute of a name, case-sensitively.
  EXPECT_STREQ(node->getAttributeValue("name"), "Width");
  EXPECT_EQ(node->getAttributeValue("NAME"), nullptr);
  EXPECT_EQ(node->getAttributeValue(nullptr), nullptr);
  EXPECT_EQ(node->getAttributeIndex("value", 0), 1u);
  EXPECT_EQ(node->getAttributeIndex("name", 1), 2u);
  EXPECT_EQ(node->getAttributeIndex("size", 0), 0xFFFFFFFFu);
  EXPECT_EQ(node->getAttributeIndex("name", 3), 0xFFFFFFFFu);
}

TEST(VelXmlNodeTest, SetAttributeValueReplacesByIndex) {
  NodePtr node(CVelXmlNode::createNode());
  node->addAttribute("value", "old");
  node->addAttribute("type", "String");
  char replacement[] = "new";
  EXPECT_TRUE(node->setAttributeValue(node->getAttributeIndex("value", 0), replacement));
  std::strcpy(replacement, "bad");
  EXPECT_STREQ(node->getAttributeValue("value"), "new");
  EXPECT_STREQ(node->getAttributeValue("type"), "String");

  EXPECT_FALSE(node->setAttributeValue(2, "x"));
  EXPECT_FALSE(node->setAttributeValue(0xFFFFFFFF, "x"));
  EXPECT_EQ(node->getAttributeCount(), 2u);
}

TEST(VelXmlNodeTest, NullAttributeTextIsStoredAsEmpty) {
  NodePtr node(CVelXmlNode::createNode());
  node->addAttribute("name", nullptr);
  node->addAttribute(nullptr, "v");
  EXPECT_STREQ(node->getAttributeValue("name"), "");
  EXPECT_STREQ(node->getAttributeValue(""), "v");
  node->setAttributeValue(1, nullptr);
  EXPECT_STREQ(node->getAttributeValueAt(1), "");
}

TEST(VelXmlNodesTest, AddAppendsAndGetChecksTheRange) {
  NodePtr parent = NamedNode("parent");
  CVelXmlNodes* children = parent->getChilds();
  for (const char* name : {"a", "b", "c"}) children->add(NamedNode(name).release());
  children->add(nullptr);

  ASSERT_EQ(children->size(), 3);
  EXPECT_STREQ(children->get(0)->getName(), "a");
  EXPECT_STREQ(children->get(2)->getName(), "c");
  EXPECT_EQ(children->get(-1), nullptr);
  EXPECT_EQ(children->get(3), nullptr);
}

TEST(VelXmlNodesTest, DelRemovesOneChildWithItsSubtree) {
  NodePtr parent = NamedNode("parent");
  CVelXmlNodes* children = parent->getChilds();
  for (const char* name : {"a", "b", "c"}) children->add(NamedNode(name).release());
  CVelXmlNode* middle = children->get(1);
  middle->getChilds()->add(NamedNode("grandchild").release());
  middle->getChilds()->get(0)->getChilds()->add(NamedNode("great-grandchild").release());

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
TEST(VelXmlNodesTest, PinnedNodesOutliveTheirRemoval) {
  NodePtr parent = NamedNode("parent");
  CVelXmlNodes* children = parent->getChilds();
  children->add(NamedNode("pinned").release());
  children->add(NamedNode("holder").release());
  CVelXmlNode* pinned = children->get(0);
  CVelXmlNode* holder = children->get(1);
  holder->getChilds()->add(NamedNode("deep").release());
  CVelXmlNode* deep = holder->getChilds()->get(0);
  pinned->getChilds()->add(NamedNode("child").release());
  pinned->pin();
  pinned->pin();
  deep->pin();

  EXPECT_FALSE(pinned->isRemoved());
  ASSERT_TRUE(children->del(0));
  EXPECT_TRUE(pinned->isRemoved());
  EXPECT_STREQ(pinned->getName(), "pinned");
  EXPECT_STREQ(pinned->getChilds()->get(0)->getName(), "child");
  pinned->unpin();
  EXPECT_STREQ(pinned->getName(), "pinned");
  pinned->unpin();  // frees it with its child

  parent.reset();  // frees the holder, but not its pinned child
  EXPECT_TRUE(deep->isRemoved());
  EXPECT_STREQ(deep->getName(), "deep");
  deep->unpin();

  // Unpinned while still in the tree: the tree frees it as usual.
  NodePtr tree = NamedNode("tree");
  tree->getChilds()->add(NamedNode("leaf").release());
  tree->getChilds()->get(0)->pin();
  tree->getChilds()->get(0)->unpin();
  EXPECT_FALSE(tree->getChilds()->get(0)->isRemoved());
}

// Freeing must not recurse once per level: a chain as deep as this would
// overflow the stack otherwise.
constexpr int kDeepChain = 200000;

TEST(VelXmlNodesTest, VeryDeepTreesAreFreedWithoutRecursion) {
  NodePtr root = NamedNode("root");
  CVelXmlNode* tip = root.get();
  for (int level = 0; level < kDeepChain; ++level) {
    tip->getChilds()->add(CVelXmlNode::createNode());
    tip = tip->getChilds()->get(0);
  }
  int depth = 0;
  for (const CVelXmlNode* node = root.get(); node->getChilds()->size() > 0;
       node = node->getChilds()->get(0)) {
    ++depth;
  }
  EXPECT_EQ(depth, kDeepChain);
  root.reset();  // a crash here is the failure this test is about
}

}  // namespace
