// The tree's nodes and their access records: sections made at once by many
// threads, removed nodes pinned by their handles and lockers, one access
// record per node across threads and processes, and node locks that a
// killed process leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/Platform.h"
#include "shareddom/SharedDomFixture.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

using storage::NodeRef;

constexpr uint32_t kNoReferences = 0xCCCCCCCC;

class NodesTest : public ::testing::Test {
 protected:
  std::string StoragePath() const { return dir_.File("store"); }
  std::string Sign(const char* name) const { return dir_.File(name); }

  TempDirectory dir_;
  SharedDomSession session_{StoragePath()};
  Ref<IStorageSection> root_ = session_.Root();
};

TEST_F(NodesTest, ConcurrentCreatesOfOneNameMakeOneChild) {
  constexpr int kNames = 40;
  auto create_all = [this](uint32_t mark) {
    for (int i = 0; i < kNames; ++i) {
      const std::string name = "n" + std::to_string(i);
      WriteInteger(*root_, name.c_str(), mark);
      Ref<IStorageSection>(root_->CreateSection(name.c_str()));
    }
  };
  std::thread first(create_all, 1u);
  std::thread second(create_all, 2u);
  first.join();
  second.join();

  const auto sorted = [](Strings names) {
    std::sort(names.begin(), names.end());
    return names;
  };
  Strings expected;
  for (int i = 0; i < kNames; ++i) expected.push_back("n" + std::to_string(i));
  EXPECT_EQ(sorted(Names(root_->EnumKeys())), sorted(expected));
  EXPECT_EQ(sorted(Names(root_->EnumSections())), sorted(expected));
  for (const std::string& name : expected) {
    const uint32_t value = ReadInteger(*root_, name.c_str());
    EXPECT_TRUE(value == 1u || value == 2u) << name << " holds " << value;
  }
}

// However a handle was had (copied, assigned, moved, and in many threads),
// a removed node stays until its last handle goes; a node not removed
// outlives its handles.
TEST_F(NodesTest, ARemovedNodeIsFreedWithItsLastHandle) {
  storage::NodeFactory& nodes = session_.Nodes();
  for (int way = 0; way < 3; ++way) {
    NodeRef handle = nodes.newElement(session_.SectionKind());
    const InitMemAddress address = handle.address();
    std::optional<NodeRef> survivor(way == 0 ? NodeRef(handle) : nodes.getRoot());
    if (way == 1) *survivor = handle;
    if (way == 2) *survivor = std::move(handle);
    survivor->mark();
    std::vector<std::jthread> threads(3);
    for (std::jthread& thread : threads)
      thread = std::jthread([&] {
        for (int i = 0; i < 200; ++i) NodeRef copy = *survivor;
      });
    threads.clear();
    handle = nodes.getRoot();
    ASSERT_TRUE(HasBlock(nodes.pageManager(), address)) << way;
    survivor.reset();
    EXPECT_FALSE(HasBlock(nodes.pageManager(), address)) << way;
  }
  EXPECT_TRUE(HasBlock(nodes.pageManager(), nodes.newElement(session_.SectionKind()).address()));
}

// A locker waiting for the node lock pins the node; when the last handle
// lets go meanwhile, the locker's give-back frees the node, once. The lock
// is recursive and keeps other threads out until its last unlock.
TEST_F(NodesTest, ALockerPinsARemovedNodeUntilItUnlocks) {
  std::optional<NodeRef> handle(session_.Nodes().newElement(session_.SectionKind()));
  const InitMemAddress node = handle->address();
  session_.LockNode(node);
  session_.LockNode(node);
  std::atomic<bool> entered{false};
  std::thread locker([&] {
    session_.LockNode(node);
    entered = true;
    session_.UnlockNode(node);
  });
  ASSERT_TRUE(WaitUntil([&] { return handle->traits()->referencesWord().load() == kNoReferences + 2; }));
  handle->mark();
  handle.reset();
  session_.UnlockNode(node);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(entered);
  EXPECT_TRUE(HasBlock(session_.Nodes().pageManager(), node));
  session_.UnlockNode(node);
  locker.join();
  EXPECT_TRUE(entered);
  EXPECT_FALSE(HasBlock(session_.Nodes().pageManager(), node));
}

TEST_F(NodesTest, ThreadsAndProcessesMakeOneAccessRecordPerNode) {
  constexpr uint32_t kKeys = 2000;
  HelperProcess first({"access-race", StoragePath(), std::to_string(kKeys), Sign("first"), Sign("go")});
  HelperProcess second({"access-race", StoragePath(), std::to_string(kKeys), Sign("second"), Sign("go")});
  ASSERT_TRUE(WaitForFile(Sign("first")) && WaitForFile(Sign("second")));
  auto race = [&] {
    for (uint32_t i = 1; i <= kKeys; ++i) session_.Access().getTraits(InitMemAddress(3, 16 * i));
  };
  TouchFile(Sign("go"));
  std::thread a(race);
  std::thread b(race);
  a.join();
  b.join();
  ASSERT_EQ(first.Wait(), 0);
  ASSERT_EQ(second.Wait(), 0);

  // Each node once, with the two threads' and the two helpers' references.
  std::map<uint32_t, int> records;
  int miscounted = 0;
  storage::MemAccessController& access = session_.Access();
  for (InitMemAddress at(access.root().headWord().load()); !at.isNull();) {
    storage::AccessTraits& record = access.traits(at);
    if (InitMemAddress(record.keyWord().load()).hive() == 3) {
      ++records[record.keyWord().load()];
      if (record.referencesWord().load() != kNoReferences + 4) ++miscounted;
    }
    at = InitMemAddress(record.nextWord().load());
  }
  EXPECT_EQ(records.size(), kKeys);
  EXPECT_EQ(
      std::count_if(records.begin(), records.end(), [](const auto& entry) { return entry.second != 1; }), 0);
  EXPECT_EQ(miscounted, 0);
}

TEST_F(NodesTest, ANodeLockOfAKilledProcessIsTakenOver) {
  const InitMemAddress node(3, 16 * 7);
  HelperProcess holder({"hold-node-lock", StoragePath(), std::to_string(node.value()), Sign("ready")});
  ASSERT_TRUE(WaitForFile(Sign("ready")));
  storage::AccessTraits& record = session_.Access().traits(session_.Access().getTraits(node));
  EXPECT_NE(record.nodeLock.owner(), kNoReferences);

  holder.Kill();
  session_.LockNode(node);
  EXPECT_EQ(record.nodeLock.owner(), storage::platform::CurrentThreadId());
  session_.UnlockNode(node);
}

}  // namespace
}  // namespace settingstore::test
