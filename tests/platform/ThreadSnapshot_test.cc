// The owning process of a thread id, for threads of this and other processes.
#include <thread>

#include "platform/NamedObjectTestSupport.h"
#include "platform/Platform.h"

namespace storage::platform {
namespace {

TEST(ThreadOwnerProcessBasicsTest, FindsThreadsOfThisProcess) {
  EXPECT_EQ(ThreadOwnerProcess(CurrentThreadId()), CurrentProcessId());
  uint32_t ended = 0;
  std::thread([&] {
    ended = CurrentThreadId();
    EXPECT_NE(ended, CurrentProcessId());
    EXPECT_EQ(ThreadOwnerProcess(ended), CurrentProcessId());
  }).join();
  EXPECT_EQ(ThreadOwnerProcess(ended), std::nullopt);
}

class ThreadOwnerProcessTest : public testing::NamedObjectTest {};

TEST_F(ThreadOwnerProcessTest, FindsThreadsOfOtherProcessesUntilTheyEnd) {
  std::string name = Name("e");
  testing::HelperProcess helper({"hold", "event", name});
  std::string line = helper.ReadLine();
  ASSERT_EQ(line.substr(0, 2), "0 ");
  auto helperThread = static_cast<uint32_t>(std::stoul(line.substr(2)));
  EXPECT_EQ(ThreadOwnerProcess(helperThread), static_cast<uint32_t>(helper.pid()));
  helper.Kill();
  EXPECT_EQ(ThreadOwnerProcess(helperThread), std::nullopt);
  NamedEvent::Create(name.c_str());  // reclaims the object the killed helper left
}

TEST(ThreadOwnerProcessBasicsTest, NoThreadForImpossibleIds) {
  EXPECT_EQ(ThreadOwnerProcess(0), std::nullopt);
  EXPECT_EQ(ThreadOwnerProcess(0xFFFFFFFE), std::nullopt);
}

}  // namespace
}  // namespace storage::platform
