// Node layouts, the root of a new and of an existing tree, and the links that
// node handles follow. No access controller here: handles count nothing.
#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>

#include "SharedStorage/AccessControllerSupport.h"
#include "SharedStorage/NodeTestFixture.h"
#include "SharedStorage/helper/NodeFactorySupport.h"
#include "shareddom/NodeFactory.h"
#include "support/HelperProcess.h"

namespace settingstore::test {
namespace {

using storage::InitMemAddress;
using storage::NodeFactory;
using storage::NodeRef;

constexpr uint32_t kNull = InitMemAddress::kNull;

class DOMNodeTest : public NodeTestFixture {
 protected:
  std::unique_ptr<NodeFactory> Open(bool withFiles = false) {
    return std::make_unique<NodeFactory>(Name("nodes").c_str(), withFiles ? File("nodes").c_str() : "");
  }
};

TEST_F(DOMNodeTest, NewTreeHasOneRootHolderAndAnEmptyRootElement) {
  auto factory = Open();
  const auto holders = BlocksOfSize(*factory, 4);
  const auto elements = BlocksOfSize(*factory, 16);
  ASSERT_EQ(holders.size(), 1u);
  ASSERT_EQ(elements.size(), 1u);
  EXPECT_EQ(Blocks(factory->pageManager()).size(), 2u);
  EXPECT_EQ(WordAt(factory->pageManager(), holders[0].address, 0), elements[0].address.value());

  NodeRef root = factory->getRoot();
  EXPECT_EQ(root.address(), elements[0].address);
  storage::ElementNode& node = root.element();
  EXPECT_EQ(node.kindWord().load(), 0u);
  EXPECT_EQ(node.nextSiblingWord().load(), kNull);
  EXPECT_EQ(node.firstChildWord().load(), kNull);
  EXPECT_EQ(node.firstAttributeWord().load(), kNull);
  EXPECT_FALSE(root.IsMarked());
}

TEST_F(DOMNodeTest, ReopeningFromFilesFindsTheSameRootAndAllocatesNothing) {
  InitMemAddress root;
  {
    auto factory = Open(true);
    root = factory->getRoot().address();
    // A node after the root, so that the walk for the holder passes others.
    factory->NewElement(7);
  }
  auto factory = Open(true);
  EXPECT_EQ(factory->getRoot().address(), root);
  EXPECT_EQ(BlocksOfSize(*factory, 4).size(), 1u);
  EXPECT_EQ(BlocksOfSize(*factory, 16).size(), 2u);
}

TEST_F(DOMNodeTest, AnotherProcessFindsTheSameRoot) {
  auto factory = Open();
  const InitMemAddress root = factory->getRoot().address();
  HelperProcess helper({"node-find-root", Name("nodes"), Word(root), "2"});
  ASSERT_TRUE(helper.Started());
  EXPECT_EQ(helper.Wait(), kNodeDone);
  EXPECT_EQ(Blocks(factory->pageManager()).size(), 2u);
}

TEST_F(DOMNodeTest, NewNodesHaveTheirLayoutAndNullLinks) {
  auto factory = Open();
  NodeRef element = factory->NewElement(0x1234);
  NodeRef attribute = factory->newAttribute(0x55, 0x66);
  storage::PageManager& pages = factory->pageManager();
  EXPECT_EQ(BlocksOfSize(*factory, 16).size(), 2u);
  ASSERT_EQ(BlocksOfSize(*factory, 12).size(), 1u);
  EXPECT_EQ(BlocksOfSize(*factory, 12)[0].address, attribute.address());
  const uint32_t elementWords[] = {kNull, 0x1234, kNull, kNull};
  for (uint32_t i = 0; i < 4; ++i) EXPECT_EQ(WordAt(pages, element.address(), 4 * i), elementWords[i]) << i;
  const uint32_t attributeWords[] = {kNull, 0x55, 0x66};
  for (uint32_t i = 0; i < 3; ++i)
    EXPECT_EQ(WordAt(pages, attribute.address(), 4 * i), attributeWords[i]) << i;
}

TEST_F(DOMNodeTest, HandlesFollowLinksAndRefuseThemOnMarkedNodes) {
  auto factory = Open();
  NodeRef root = factory->getRoot();
  NodeRef first = factory->NewElement(10);
  NodeRef second = factory->NewElement(11);
  NodeRef name = factory->newAttribute(20, 30);
  root.element().firstChildWord().exchange(first.address().value());
  first.element().nextSiblingWord().exchange(second.address().value());
  first.element().firstAttributeWord().exchange(name.address().value());

  EXPECT_EQ(root.FirstChild().address(), first.address());
  EXPECT_EQ(root.FirstChild().NextSibling().address(), second.address());
  EXPECT_TRUE(second.NextSibling().isNull());
  EXPECT_TRUE(root.FirstAttribute().isNull());
  NodeRef attribute = first.FirstAttribute();
  EXPECT_EQ(attribute.kind(), storage::kAttributeNode);
  EXPECT_EQ(attribute.attribute().valueWord().load(), 30u);
  EXPECT_TRUE(attribute.NextAttribute().isNull());

  first.mark();
  EXPECT_TRUE(first.IsMarked());
  EXPECT_EQ(first.element().kindWord().load(), 10u | storage::kDeleteMark);
  try {
    first.NextSibling();
    ADD_FAILURE() << "a marked node's link was followed";
  } catch (const storage::MarkToDeleteException& error) {
    EXPECT_EQ(error.GetErrorCode(), -6);
  }
  EXPECT_THROW(first.FirstAttribute(), storage::MarkToDeleteException);
  name.mark();
  EXPECT_THROW(name.NextAttribute(), storage::MarkToDeleteException);
  // Marked nodes stay readable, and a second mark changes nothing.
  first.mark();
  EXPECT_EQ(first.element().kindWord().load(), 10u | storage::kDeleteMark);
  EXPECT_EQ(first.element().nextSiblingWord().load(), second.address().value());
}

TEST_F(DOMNodeTest, UnmarkedNodesAreNeverFreed) {
  auto factory = Open();
  NodeRef element = factory->NewElement(10);
  factory->FreeNode(element.address());
  EXPECT_TRUE(HasBlock(*factory, element.address()));
  factory->FreeNode(InitMemAddress());
  element.mark();
  factory->FreeNode(element.address());
  EXPECT_FALSE(HasBlock(*factory, element.address()));
}

TEST_F(DOMNodeTest, HandleWithoutPageManagerIsRefused) {
  try {
    NodeRef handle(nullptr, InitMemAddress(1, 0), storage::kElementNode);
    ADD_FAILURE() << "a handle without page manager was made";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "MemoryManager is null!");
  }
}

}  // namespace
}  // namespace settingstore::test
