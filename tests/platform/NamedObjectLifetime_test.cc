// How named objects come and go when processes race: these tests take the
// place of a racing process by hand, through the locks of the object file
// (the guard is an open-file-description write lock on its byte 0).
#include <fcntl.h>
#include <sys/stat.h>

#include <fstream>

#include "platform/NamedObjectTestSupport.h"
#include "platform/Platform.h"

namespace storage::platform {
namespace {

using testing::HelperProcess;

class NamedObjectLifetimeTest : public testing::NamedObjectTest {
 protected:
  std::string FilePath(const std::string& suffix) const {
    return testing::LocalObjectDirectory() + "/" + Stem() + suffix;
  }
};

bool TakeGuard(int fd) {
  struct flock lock = {};
  lock.l_type = F_WRLCK;
  lock.l_whence = SEEK_SET;
  lock.l_start = 0;
  lock.l_len = 1;
  return fcntl(fd, F_OFD_SETLK, &lock) == 0;
}

// Waits until some process is blocked on a lock of the file with this inode.
bool SomeoneWaitsForLock(ino_t inode) {
  std::string tag = ":" + std::to_string(inode) + " ";
  for (int attempt = 0; attempt < 500; ++attempt) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
      if (line.find("->") != std::string::npos && line.find(tag) != std::string::npos) return true;
    }
    SleepMs(2);
  }
  return false;
}

// A creator that opened the file just before its last holder removed it must
// not make an object of the removed file: nobody could find it by name.
TEST_F(NamedObjectLifetimeTest, CreatorWaitingWhileTheFileIsRemovedStartsOver) {
  auto probe = NamedEvent::Create(Name("probe").c_str());  // the directory exists from here on
  int fd = open(FilePath("e").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  struct stat info;
  ASSERT_EQ(fstat(fd, &info), 0);
  ASSERT_TRUE(TakeGuard(fd));

  HelperProcess creator({"hold", "event", Name("e")});
  ASSERT_TRUE(SomeoneWaitsForLock(info.st_ino));
  unlink(FilePath("e").c_str());  // as the last holder does, under the guard
  close(fd);
  EXPECT_EQ(creator.ReadLine().substr(0, 2), "0 ");

  auto event = NamedEvent::Create(Name("e").c_str());
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_TRUE(event->Wait(0));  // the one the helper set
  EXPECT_EQ(creator.Finish(), 0);
}

// A file nobody holds (its holders were killed) is stale: creating makes a new
// object of it, opening finds nothing, and a process starting to use the name
// space removes it.
TEST_F(NamedObjectLifetimeTest, StaleFilesAreReclaimed) {
  auto probe = NamedEvent::Create(Name("probe").c_str());
  for (const char* suffix : {"a", "b"}) {
    std::ofstream(FilePath(suffix)) << "left by a killed holder";
  }
  auto created = NamedEvent::Create(Name("a").c_str());
  ASSERT_NE(created, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_FALSE(created->Wait(0));

  HelperProcess other({"create", "event", Name("other")});
  EXPECT_EQ(other.ReadLine(), "0");
  EXPECT_FALSE(FileExists("b"));
  EXPECT_TRUE(FileExists("a"));  // held
}

}  // namespace
}  // namespace storage::platform
