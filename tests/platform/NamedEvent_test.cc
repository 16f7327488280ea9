// Named manual-reset events within a process and across processes.
#include <thread>

#include "platform/NamedObjectTestSupport.h"
#include "platform/Platform.h"

namespace storage::platform {
namespace {

using testing::HelperProcess;

class NamedEventTest : public testing::NamedObjectTest {};

TEST_F(NamedEventTest, StartsClearStaysSetAndIsSharedByName) {
  std::string name = Name("e");
  auto event = NamedEvent::Create(name.c_str());
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_FALSE(event->Wait(0));
  EXPECT_FALSE(event->Wait(30));

  auto same = NamedEvent::Create(name.c_str());
  ASSERT_NE(same, nullptr);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  same->Set();
  EXPECT_TRUE(event->Wait(0));
  EXPECT_TRUE(event->Wait(kInfinite));  // manual reset: stays set
  EXPECT_TRUE(same->Wait(30));

  event.reset();
  same.reset();
  auto recreated = NamedEvent::Create(name.c_str());
  ASSERT_NE(recreated, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_FALSE(recreated->Wait(0));
}

TEST_F(NamedEventTest, SetWakesEveryWaiter) {
  auto event = NamedEvent::Create(Name("e").c_str());
  ASSERT_NE(event, nullptr);
  bool woken[2] = {false, false};
  std::thread forever([&] { woken[0] = event->Wait(kInfinite); });
  std::thread timed([&] { woken[1] = event->Wait(60000); });
  SleepMs(20);
  event->Set();
  forever.join();
  timed.join();
  EXPECT_TRUE(woken[0]);
  EXPECT_TRUE(woken[1]);
}

TEST_F(NamedEventTest, SetInOtherProcessWakesWaiterAndKilledHolderNoLongerCounts) {
  std::string name = Name("e");
  auto event = NamedEvent::Create(name.c_str());
  ASSERT_NE(event, nullptr);
  {
    HelperProcess setter({"hold", "event", name});
    EXPECT_EQ(setter.ReadLine().substr(0, 4), "183 ");
    EXPECT_TRUE(event->Wait(5000));
  }
  event.reset();

  HelperProcess holder({"hold", "event", name});
  ASSERT_EQ(holder.ReadLine().substr(0, 2), "0 ");
  event = NamedEvent::Create(name.c_str());
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_TRUE(event->Wait(0));
  event.reset();
  holder.Kill();
  event = NamedEvent::Create(name.c_str());
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_FALSE(event->Wait(0));
}

}  // namespace
}  // namespace storage::platform
