#include "shareddom/MemAccessController.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "SharedStorage/AccessControllerSupport.h"
#include "platform/Platform.h"
#include "shm/SegmentTestSupport.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

using storage::AccessTraits;
using storage::InitMemAddress;
using storage::MemAccessController;

constexpr uint32_t kNone = 0xCCCCCCCC;
constexpr uint32_t kOne = 0xCCCCCCCD;
constexpr uint32_t kTwo = 0xCCCCCCCE;

// What the release callback was told.
struct Released {
  std::vector<uint32_t> nodes;
  std::vector<int> kinds;
};

void RecordRelease(const InitMemAddress& node, int kind, void* context) {
  auto* released = static_cast<Released*>(context);
  released->nodes.push_back(node.value());
  released->kinds.push_back(kind);
}

class MemAccessControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    const std::string id =
        std::to_string(storage::platform::CurrentProcessId()) + "_" + std::to_string(counter++);
    name_ = "Local\\actest_" + id + "_";
  }

  const char* Name() const { return name_.c_str(); }
  std::string SignFile(const char* name) const { return (directory_.path() / name).string(); }

  static uint32_t References(MemAccessController& controller, const InitMemAddress& record) {
    return controller.traits(record).referencesWord().load();
  }

 private:
  std::string name_;
  TempDirectory directory_;
};

TEST_F(MemAccessControllerTest, FirstGetTraitsKeysANewRecordAtTheHead) {
  MemAccessController controller(Name());
  EXPECT_EQ(controller.root().headWord().load(), kNone);

  const InitMemAddress record = controller.getTraits(NodeAddress(1));
  EXPECT_EQ(controller.root().headWord().load(), record.value());
  AccessTraits& traits = controller.traits(record);
  EXPECT_EQ(traits.keyWord().load(), NodeAddress(1).value());
  EXPECT_EQ(traits.referencesWord().load(), kOne);
  EXPECT_EQ(traits.nextWord().load(), kNone);
  EXPECT_EQ(traits.nodeLock.owner(), kNone);

  // The same key finds the same record; another key is appended after it.
  EXPECT_EQ(controller.getTraits(NodeAddress(1)), record);
  EXPECT_EQ(traits.referencesWord().load(), kTwo);
  const InitMemAddress second = controller.getTraits(NodeAddress(2));
  EXPECT_NE(second, record);
  EXPECT_EQ(traits.nextWord().load(), second.value());
  EXPECT_EQ(ListTraits(controller).size(), 2u);
}

TEST_F(MemAccessControllerTest, RecordsAndRootOutliveAControllerWhileTheRegionLives) {
  // A second process keeps the region alive; a new controller of this
  // process finds the root and the records again instead of making them.
  InitMemAddress record;
  const std::string ready = SignFile("ready");
  const std::string go = SignFile("go");
  HelperProcess holder({"access-traits-race", Name(), "0", ready, go});
  ASSERT_TRUE(holder.Started());
  ASSERT_TRUE(WaitForFile(ready));
  {
    MemAccessController controller(Name());
    record = controller.getTraits(NodeAddress(5));
  }
  MemAccessController controller(Name());
  EXPECT_EQ(controller.getTraits(NodeAddress(5)), record);
  EXPECT_EQ(References(controller, record), kTwo);
  EXPECT_EQ(ListTraits(controller).size(), 1u);
  TouchFile(go);
  EXPECT_EQ(holder.Wait(), kAccessDone);
}

TEST_F(MemAccessControllerTest, AnotherProcessFindsTheRecordThroughTheRefresh) {
  MemAccessController controller(Name());
  const InitMemAddress record = controller.getTraits(NodeAddress(1));

  // The helper raises the test's record to two references without a new one.
  HelperProcess finder({"access-get-traits", Name(), Word(NodeAddress(1)), Word(record)});
  ASSERT_TRUE(finder.Started());
  EXPECT_EQ(finder.Wait(), kAccessDone);
  EXPECT_EQ(References(controller, record), kTwo);
  EXPECT_EQ(ListTraits(controller).size(), 1u);

  // A record that the helper made is found by this running controller.
  HelperProcess maker({"access-get-traits", Name(), Word(NodeAddress(2)), "-"});
  ASSERT_TRUE(maker.Started());
  EXPECT_EQ(maker.Wait(), kAccessDone);
  const std::vector<ListedTraits> listed = ListTraits(controller);
  ASSERT_EQ(listed.size(), 2u);
  EXPECT_EQ(listed[1].key, NodeAddress(2).value());
  EXPECT_EQ(controller.getTraits(NodeAddress(2)), listed[1].address);
  EXPECT_EQ(References(controller, listed[1].address), kTwo);
  EXPECT_EQ(ListTraits(controller).size(), 2u);
}

TEST_F(MemAccessControllerTest, ReferenceCountsNeverPassBelowNoneAndAnIdleRecordIsRevived) {
  MemAccessController controller(Name());
  const InitMemAddress record = controller.getTraits(NodeAddress(1));
  AccessTraits& traits = controller.traits(record);
  EXPECT_TRUE(traits.AddReference());
  EXPECT_EQ(traits.referencesWord().load(), kTwo);

  bool last = true;
  EXPECT_TRUE(traits.DropReference(last));
  EXPECT_FALSE(last);
  EXPECT_TRUE(traits.DropReference(last));
  EXPECT_TRUE(last);
  EXPECT_EQ(traits.referencesWord().load(), kNone);

  // An idle record is neither raised nor lowered by the handles' operations...
  EXPECT_FALSE(traits.AddReference());
  EXPECT_FALSE(traits.DropReference(last));
  EXPECT_EQ(traits.referencesWord().load(), kNone);
  // ...but a new handle on its key revives it rather than making another.
  EXPECT_EQ(controller.getTraits(NodeAddress(1)), record);
  EXPECT_EQ(References(controller, record), kOne);
  EXPECT_EQ(ListTraits(controller).size(), 1u);
}

TEST_F(MemAccessControllerTest, ReleasingTheLastHandleCallsBack) {
  Released released;
  MemAccessController controller(Name(), RecordRelease, &released);
  const InitMemAddress element = NodeAddress(1);
  const InitMemAddress attribute = NodeAddress(2);
  const InitMemAddress record = controller.getTraits(element);  // first handle
  controller.getTraits(element);                                // second handle
  controller.getTraits(attribute);

  controller.ReleaseNode(element, storage::kElementNode);
  EXPECT_TRUE(released.nodes.empty());
  EXPECT_EQ(References(controller, record), kOne);

  controller.ReleaseNode(element, storage::kElementNode);
  controller.ReleaseNode(attribute, storage::kAttributeNode);
  EXPECT_EQ(released.nodes, (std::vector<uint32_t>{element.value(), attribute.value()}));
  EXPECT_EQ(released.kinds, (std::vector<int>{storage::kElementNode, storage::kAttributeNode}));
  EXPECT_EQ(References(controller, record), kNone);

  controller.ReleaseNode(InitMemAddress(), storage::kElementNode);
  EXPECT_EQ(released.nodes.size(), 2u);
}

TEST_F(MemAccessControllerTest, NodeLockIsRecursiveAndKeepsOtherThreadsOut) {
  MemAccessController controller(Name());
  const InitMemAddress node = NodeAddress(1);
  const InitMemAddress record = controller.getTraits(node);  // a handle on the node

  controller.LockNode(node);
  controller.LockNode(node);
  EXPECT_EQ(References(controller, record), kOne);

  std::atomic<bool> entered{false};
  std::thread other([&] {
    storage::NodeLockGuard guard(controller, node);
    entered = true;
  });
  controller.UnlockNode(node);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered);
  controller.UnlockNode(node);
  other.join();
  EXPECT_TRUE(entered);
  EXPECT_EQ(References(controller, record), kOne);
  EXPECT_EQ(controller.traits(record).nodeLock.owner(), kNone);
}

TEST_F(MemAccessControllerTest, LockingAnIdleNodeLeavesItIdleWithoutCallingBack) {
  Released released;
  MemAccessController controller(Name(), RecordRelease, &released);
  const InitMemAddress node = NodeAddress(3);
  { storage::NodeLockGuard guard(controller, node); }
  const std::vector<ListedTraits> listed = ListTraits(controller);
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0].references, kNone);
  EXPECT_TRUE(released.nodes.empty());
}

TEST_F(MemAccessControllerTest, LockerWhoseReferenceOutlivesTheLastHandleHandsTheNodeOn) {
  // A locker waiting for the node lock pins the record; when the last handle
  // lets go meanwhile, the locker's give-back is the last reference and the
  // node must be handed to the callback then, once.
  Released released;
  MemAccessController controller(Name(), RecordRelease, &released);
  const InitMemAddress node = NodeAddress(4);
  const InitMemAddress record = controller.getTraits(node);  // the handle
  controller.LockNode(node);

  std::thread locker([&] {
    controller.LockNode(node);
    controller.UnlockNode(node);
  });
  while (References(controller, record) != kTwo) std::this_thread::yield();  // the locker waits
  controller.ReleaseNode(node, storage::kElementNode);
  EXPECT_EQ(References(controller, record), kOne);
  controller.UnlockNode(node);
  locker.join();

  EXPECT_EQ(released.nodes, std::vector<uint32_t>{node.value()});
  EXPECT_EQ(References(controller, record), kNone);
}

TEST_F(MemAccessControllerTest, NullAddressDoesNothing) {
  Released released;
  MemAccessController controller(Name(), RecordRelease, &released);
  controller.LockNode(InitMemAddress());
  controller.UnlockNode(InitMemAddress());
  controller.ReleaseNode(InitMemAddress(), storage::kAttributeNode);
  EXPECT_EQ(controller.root().headWord().load(), kNone);
  EXPECT_TRUE(released.nodes.empty());
  EXPECT_THROW(controller.getTraits(InitMemAddress()), storage::AssertException);
  EXPECT_EQ(controller.root().headWord().load(), kNone);
}

TEST_F(MemAccessControllerTest, AFailedControllerLeavesNothingInTheWay) {
  const std::string tooLong(300, 'n');
  EXPECT_THROW(MemAccessController failed(tooLong.c_str()), storage::AssertException);
  MemAccessController controller(Name());
  const InitMemAddress record = controller.getTraits(NodeAddress(1));
  EXPECT_EQ(References(controller, record), kOne);
}

TEST_F(MemAccessControllerTest, ThreadsAndProcessesMakeOneRecordPerKey) {
  constexpr uint32_t kKeys = 2000;
  const std::string go = SignFile("go");
  const std::string firstReady = SignFile("first");
  const std::string secondReady = SignFile("second");
  HelperProcess first({"access-traits-race", Name(), std::to_string(kKeys), firstReady, go});
  HelperProcess second({"access-traits-race", Name(), std::to_string(kKeys), secondReady, go});
  ASSERT_TRUE(first.Started() && second.Started());

  MemAccessController controller(Name());
  ASSERT_TRUE(WaitForFile(firstReady) && WaitForFile(secondReady));
  auto race = [&] {
    for (uint32_t i = 1; i <= kKeys; ++i) controller.getTraits(NodeAddress(i));
  };
  TouchFile(go);
  std::thread a(race);
  std::thread b(race);
  a.join();
  b.join();
  ASSERT_EQ(first.Wait(), kAccessDone);
  ASSERT_EQ(second.Wait(), kAccessDone);

  // Each key once, with the two threads' and the two helpers' references.
  std::map<uint32_t, int> records;
  int miscounted = 0;
  for (const ListedTraits& listed : ListTraits(controller)) {
    ++records[listed.key];
    if (listed.references != kNone + 4) ++miscounted;
  }
  EXPECT_EQ(records.size(), kKeys);
  EXPECT_EQ(
      std::count_if(records.begin(), records.end(), [](const auto& entry) { return entry.second != 1; }), 0);
  EXPECT_EQ(miscounted, 0);
}

TEST_F(MemAccessControllerTest, NodeLockOfADeadProcessIsTakenOver) {
  const InitMemAddress node = NodeAddress(7);
  const std::string ready = SignFile("ready");
  MemAccessController controller(Name());
  HelperProcess holder({"access-hold-node-lock", Name(), Word(node), ready});
  ASSERT_TRUE(holder.Started());
  ASSERT_TRUE(WaitForFile(ready));
  const InitMemAddress record = controller.getTraits(node);
  EXPECT_NE(controller.traits(record).nodeLock.owner(), kNone);

  holder.Kill();
  storage::NodeLockGuard guard(controller, node);
  EXPECT_EQ(controller.traits(record).nodeLock.owner(), storage::platform::CurrentThreadId());
}

}  // namespace
}  // namespace settingstore::test
