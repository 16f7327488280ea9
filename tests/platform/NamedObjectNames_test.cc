// Names of named objects: name spaces, escaping, unusable names, and whether
// an object is new or existed as seen from several processes.
#include <poll.h>
#include <sys/stat.h>

#include <thread>

#include "platform/NamedObjectTestSupport.h"
#include "platform/Platform.h"
#include "support/OtherUser.h"

namespace storage::platform {
namespace {

using testing::HelperProcess;

class NamedObjectNamesTest : public testing::NamedObjectTest {};

mode_t ModeOf(const std::string& path) {
  struct stat status {};
  return stat(path.c_str(), &status) == 0 ? status.st_mode & 07777 : 0;
}

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
  // Shared by all users, but nobody can remove another's objects, and each
  // object is its creator's alone.
  EXPECT_EQ(ModeOf(testing::GlobalObjectDirectory()), 01777u);
  EXPECT_EQ(ModeOf(testing::GlobalObjectDirectory() + "/" + Stem() + "e"), 0600u);
}

// Another user's process holds the guard of an object file it planted under
// a name this user's storage uses: the open is refused at once, not blocked.
TEST_F(NamedObjectNamesTest, AnotherUsersObjectIsRefusedWithoutWaiting) {
  settingstore::test::OtherUser other;
  SKIP_WITHOUT_OTHER_USER(other);
  const std::string file = testing::GlobalObjectDirectory() + "/" + Stem() + "m";
  auto directory = NamedEvent::Create(("Global\\" + Stem() + "e").c_str());  // makes the directory
  ASSERT_NE(directory, nullptr);
  int ready[2];
  int release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  std::thread attacker([&] {
    other.Run([&] {
      int fd = open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
      struct flock lock = {};
      lock.l_type = F_WRLCK;
      lock.l_len = 1;
      if (fd < 0 || fcntl(fd, F_OFD_SETLK, &lock) != 0) return 1;
      char byte = 'r';
      close(release[1]);
      if (write(ready[1], &byte, 1) != 1) return 1;
      return static_cast<int>(read(release[0], &byte, 1));  // until the test closes the pipe
    });
  });
  char byte = 0;
  pollfd waiting{ready[0], POLLIN, 0};
  const bool planted = poll(&waiting, 1, 10000) == 1 && read(ready[0], &byte, 1) == 1;
  const int refused = planted
                          ? settingstore::test::RunInChild(
                                [&] {
                                  auto mutex = NamedMutex::Create(("Global\\" + Stem() + "m").c_str(), false);
                                  return mutex == nullptr && GetLastError() == kErrorAccessDenied ? 0 : 1;
                                },
                                static_cast<uid_t>(-1), static_cast<gid_t>(-1), std::chrono::seconds(5))
                          : -1;
  close(release[1]);
  attacker.join();
  close(ready[0]);
  close(ready[1]);
  close(release[0]);
  unlink(file.c_str());
  ASSERT_TRUE(planted);
  EXPECT_EQ(refused, 0) << "-1: the open waited on the other user's lock";
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
