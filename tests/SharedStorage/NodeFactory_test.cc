// The shared DOM brought up whole: the well-known strings, and node handles
// that pin removed nodes until the last of them goes.
#include "shareddom/NodeFactory.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "SharedStorage/NodeTestFixture.h"
#include "SharedStorage/helper/NodeFactorySupport.h"
#include "shareddom/MemAccessController.h"
#include "shareddom/SharedServices.h"
#include "shareddom/StringFactory.h"

namespace settingstore::test {
namespace {

using storage::InitMemAddress;
using storage::NodeFactory;
using storage::NodeRef;
using storage::SharedServices;
using storage::StringFactory;

class NodeFactoryTest : public NodeTestFixture {
 protected:
  void SetUp() override { Initialize(); }
  void TearDown() override { SharedServices::Stop(); }

  void Initialize(const std::string& accessName = "") {
    const std::string access = accessName.empty() ? Name("access") : accessName;
    SharedServices::Start({Name("nodes").c_str(), File("nodes").c_str(), Name("strings").c_str(),
                           File("strings").c_str(), access.c_str()});
  }
  NodeFactory& Factory() { return SharedServices::Required().nodes(); }
  static const storage::WellKnownSids& Sids() { return SharedServices::Required().sids(); }

  // The text of a SID; empty once its string is gone.
  static std::string TextOf(uint32_t sid) {
    const storage::StringAutoRelease handle = SharedServices::Required().strings().GetString(static_cast<int32_t>(sid));
    return handle.IsValid() ? handle.GetString() : "";
  }

  // A value string with one reference held for a node's value word, as the
  // element operations take it.
  static uint32_t HeldValue(const char* text) {
    const storage::StringAutoRelease handle = SharedServices::Required().strings().GetExactSID(text);
    handle.AddRef();
    return static_cast<uint32_t>(handle.GetSID());
  }
};

TEST_F(NodeFactoryTest, WellKnownStringsAreRegisteredAndKept) {
  const storage::WellKnownSids& sids = Sids();
  const std::pair<uint32_t, const char*> expected[] = {{sids.section, "section"},
                                                       {sids.key, "key"},
                                                       {sids.name, "name"},
                                                       {sids.size, "size"},
                                                       {sids.type, "type"},
                                                       {sids.four, "4"},
                                                       {sids.integer, "integer"},
                                                       {sids.string, "string"},
                                                       {sids.binary, "binary"},
                                                       {sids.value, "value"},
                                                       {sids.multivalue, "multivalue"},
                                                       {sids.unknown, "unknown"},
                                                       {sids.zero, "0"}};
  // The registering handles are gone: only the extra reference that each
  // registration keeps holds these strings in the table.
  std::set<uint32_t> distinct;
  for (const auto& [sid, text] : expected) {
    EXPECT_LT(sid, storage::kDeleteMark) << text;
    EXPECT_EQ(TextOf(sid), text);
    distinct.insert(sid);
  }
  EXPECT_EQ(distinct.size(), 13u);
}

TEST_F(NodeFactoryTest, SecondInitializeIsRefusedAndReplacesNothing) {
  SharedServices* services = SharedServices::Current();
  const uint32_t section = Sids().section;
  EXPECT_THROW(Initialize(), storage::AssertException);
  EXPECT_EQ(SharedServices::Current(), services);
  EXPECT_EQ(Sids().section, section);
  EXPECT_EQ(TextOf(section), "section");
}

TEST_F(NodeFactoryTest, FailedInitializeTearsDownWhatItBuilt) {
  SharedServices::Stop();
  EXPECT_EQ(SharedServices::Current(), nullptr);
  // An access name too long for a segment makes the bring-up fail at its
  // last step, after the tree and the string table are up.
  EXPECT_THROW(Initialize(std::string(300, 'n')), storage::AssertException);
  EXPECT_EQ(SharedServices::Current(), nullptr);
  Initialize();
  EXPECT_NE(SharedServices::Current(), nullptr);
  EXPECT_EQ(TextOf(Sids().key), "key");
}

TEST_F(NodeFactoryTest, MarkedNodeIsFreedOnlyOnItsLastRelease) {
  // Each way of getting a handle must pin the node once the others are gone.
  for (int way = 0; way < 3; ++way) {
    std::optional<NodeRef> survivor;
    InitMemAddress address;
    {
      NodeRef handle = Factory().NewElement(Sids().section);
      address = handle.address();
      if (way == 0) {
        survivor.emplace(handle);
      } else if (way == 1) {
        survivor.emplace(Factory().getRoot());
        *survivor = handle;
      } else {
        survivor.emplace(NodeRef(handle));
      }
      handle.mark();
    }
    ASSERT_TRUE(HasBlock(Factory(), address)) << way;
    EXPECT_EQ(survivor->element().kindWord().load(), Sids().section | storage::kDeleteMark);
    survivor.reset();
    EXPECT_FALSE(HasBlock(Factory(), address)) << way;
  }
}

TEST_F(NodeFactoryTest, UnmarkedNodeOutlivesItsHandles) {
  InitMemAddress address;
  {
    NodeRef handle = Factory().NewElement(Sids().key);
    address = handle.address();
    NodeRef copy = handle;
    copy = Factory().getRoot();
    copy = handle;
  }
  EXPECT_TRUE(HasBlock(Factory(), address));
  // A later handle that marks it frees it when it goes.
  NodeRef(Factory().pageManagerSlot(), address, storage::kElementNode).mark();
  EXPECT_FALSE(HasBlock(Factory(), address));
}

TEST_F(NodeFactoryTest, FreedAttributeDropsItsValueStringAndFreedElementDropsNone) {
  const uint32_t value = HeldValue("Value Of An Attribute");
  const uint32_t kept = HeldValue("Kept");
  {
    NodeRef element = Factory().NewElement(Sids().key);
    // An element's words hold no string references: freeing it drops none,
    // even when a word happens to carry a SID.
    element.element().firstChildWord().exchange(kept);
    element.mark();
  }
  EXPECT_EQ(TextOf(kept), "Kept");

  InitMemAddress address;
  {
    NodeRef attribute = Factory().newAttribute(Sids().value, value);
    address = attribute.address();
    NodeRef holder = attribute;
    attribute.mark();
    { NodeRef gone = std::move(attribute); }
    EXPECT_EQ(TextOf(value), "Value Of An Attribute");
  }
  EXPECT_FALSE(HasBlock(Factory(), address));
  EXPECT_EQ(TextOf(value), "");
  EXPECT_EQ(TextOf(Sids().value), "value");
}

TEST_F(NodeFactoryTest, HandlesOfManyThreadsFreeAMarkedNodeOnce) {
  NodeRef node = Factory().NewElement(Sids().key);
  const InitMemAddress address = node.address();
  node.mark();
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&node] {
      NodeRef own = node;
      for (int i = 0; i < 200; ++i) {
        NodeRef copy = own;
        EXPECT_TRUE(copy.IsMarked());
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_TRUE(HasBlock(Factory(), address));
  node = NodeRef(Factory().pageManagerSlot(), InitMemAddress(), storage::kElementNode);
  EXPECT_FALSE(HasBlock(Factory(), address));
  // The block went back once: the root and one new node are all there is.
  NodeRef reused = Factory().NewElement(Sids().key);
  EXPECT_EQ(BlocksOfSize(Factory(), 16).size(), 2u);
}

TEST_F(NodeFactoryTest, NullHandlesCountNothing) {
  NodeRef end(Factory().pageManagerSlot(), InitMemAddress(), storage::kAttributeNode);
  NodeRef copy = end;
  EXPECT_TRUE(copy.isNull());
  copy = Factory().getRoot();
  EXPECT_FALSE(copy.isNull());
  copy = end;
  EXPECT_TRUE(copy.isNull());
}

TEST_F(NodeFactoryTest, TreeSurvivesAReloadFromItsFiles) {
  const InitMemAddress root = Factory().getRoot().address();
  NodeRef child = Factory().NewElement(Sids().section);
  Factory().getRoot().element().firstChildWord().exchange(child.address().value());
  const InitMemAddress childAddress = child.address();
  child = NodeRef(Factory().pageManagerSlot(), InitMemAddress(), storage::kElementNode);
  SharedServices::Stop();

  Initialize();
  NodeRef reloaded = Factory().getRoot();
  EXPECT_EQ(reloaded.address(), root);
  NodeRef first = reloaded.FirstChild();
  EXPECT_EQ(first.address(), childAddress);
  EXPECT_EQ(first.element().kindWord().load(), Sids().section);
}

}  // namespace
}  // namespace settingstore::test
