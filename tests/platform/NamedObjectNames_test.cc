// Names of named objects: name spaces, escaping, unusable names, and whether
// an object is new or existed as seen from several processes.
#include "platform/NamedObjectTestSupport.h"
#include "platform/Platform.h"

namespace storage::platform {
namespace {

using testing::HelperProcess;

class NamedObjectNamesTest : public testing::NamedObjectTest {};

TEST_F(NamedObjectNamesTest, UnprefixedNameIsTheLocalOne) {
  auto local = NamedEvent::Create(Name("e").c_str());
  ASSERT_NE(local, nullptr);
  auto unprefixed = NamedEvent::Create((Stem() + "e").c_str());
  ASSERT_NE(unprefixed, nullptr);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
}

TEST_F(NamedObjectNamesTest, GlobalNameSpaceIsSeparate) {
  std::string global = "Global\\" + Stem() + "e";
  auto local = NamedEvent::Create(Name("e").c_str());
  ASSERT_NE(local, nullptr);
  auto first = NamedEvent::Create(global.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_FALSE(testing::FilesStartingWith(testing::GlobalObjectDirectory(), Stem()).empty());
  auto second = NamedEvent::Create(global.c_str());
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
}

TEST_F(NamedObjectNamesTest, AnyBytesMakeDistinctNames) {
  const char* suffixes[] = {"a/b", "a%2Fb", "a%252Fb", "..", ".", "a\\b", "\x01\xff", "A/B", "a b"};
  std::vector<std::unique_ptr<NamedEvent>> events;
  for (const char* suffix : suffixes) {
    events.push_back(NamedEvent::Create(Name(suffix).c_str()));
    ASSERT_NE(events.back(), nullptr) << suffix;
    EXPECT_EQ(GetLastError(), kErrorSuccess) << suffix;
  }
  events[0]->Set();
  auto again = NamedEvent::Create(Name("a/b").c_str());
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_TRUE(again->Wait(0));
}

TEST_F(NamedObjectNamesTest, UnusableNamesAreRefused) {
  for (const std::string& name :
       {std::string("Local\\"), std::string(""), "Local\\" + std::string(250, 'x')}) {
    EXPECT_EQ(NamedMutex::Create(name.c_str(), false), nullptr);
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  }
  EXPECT_EQ(NamedMutex::Open(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
}

TEST_F(NamedObjectNamesTest, NewOrExistedAcrossProcesses) {
  for (const char* kind : {"mutex", "event", "mapping"}) {
    std::string name = Name(kind);
    {
      HelperProcess holder({"hold", kind, name});
      ASSERT_EQ(holder.ReadLine().substr(0, 2), "0 ") << kind;
      HelperProcess second({"create", kind, name});
      EXPECT_EQ(second.ReadLine(), "183") << kind;
    }
    HelperProcess afterwards({"create", kind, name});
    EXPECT_EQ(afterwards.ReadLine(), "0") << kind;
    EXPECT_EQ(afterwards.Finish(), 0);
  }
}

}  // namespace
}  // namespace storage::platform
