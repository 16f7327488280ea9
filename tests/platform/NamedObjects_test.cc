// Named mutexes, events and mappings: names and name spaces, new or existing
// as seen from several processes, ownership and abandonment by ending threads
// and killed processes, and how object files come and go when processes race.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <thread>

#include "platform/Platform.h"
#include "support/HelperProcess.h"
#include "support/OtherUser.h"

namespace storage::platform {
namespace {

inline std::string LocalObjectDirectory() { return "/dev/shm/settingstore-" + std::to_string(geteuid()); }
inline std::string GlobalObjectDirectory() { return "/dev/shm/settingstore-global"; }

// The local and global object files whose names start with the prefix.
std::vector<std::string> ObjectFiles(const std::string& prefix) {
  std::vector<std::string> found;
  for (const std::string& directory : {LocalObjectDirectory(), GlobalObjectDirectory()}) {
    std::error_code missing;
    for (const auto& entry : std::filesystem::directory_iterator(directory, missing))
      if (entry.path().filename().string().starts_with(prefix)) found.push_back(entry.path());
  }
  return found;
}

// Names of the test's own: "Local\" + Stem() + suffix, whose object file is
// Stem() + suffix; none of their files may remain at the end.
class NamedObjectsTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_EQ(ObjectFiles(stem_), std::vector<std::string>{}) << "left behind"; }
  const std::string& Stem() const { return stem_; }
  std::string Name(const std::string& suffix) const { return "Local\\" + stem_ + suffix; }

 private:
  inline static int counter_ = 0;
  std::string stem_ = "pt" + std::to_string(getpid()) + "-" + std::to_string(++counter_) + "-";
};

// Its standard input and output are one socket; it ends when its input closes,
// at the latest when the test is done with it.
struct Helper {
  explicit Helper(const std::vector<std::string>& arguments) {
    int ends[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) return;
    settingstore::test::HelperStreams io;
    io.inputOutput = ends[1];
    process.emplace(arguments, &io);
    close(ends[1]);
    socket_ = fdopen(ends[0], "r");
  }
  ~Helper() {
    if (process) Finish();
    if (socket_ != nullptr) fclose(socket_);
  }
  // Lets the helper end normally; its exit status (-1 when it had to be killed).
  int Finish() {
    if (socket_ != nullptr) shutdown(fileno(socket_), SHUT_WR);
    return process->Wait(std::chrono::seconds(10));
  }
  // The helper's next line, empty when it ended without one.
  std::string ReadLine() {
    char line[256] = "";
    return std::string(line, fgets(line, sizeof line, socket_) != nullptr ? strcspn(line, "\n") : 0);
  }
  std::optional<settingstore::test::HelperProcess> process;
  FILE* socket_ = nullptr;
};

// The last error of a refused open or create; success when it was not refused.
template <typename Object>
uint32_t Refusal(const Object& made) {
  return made == nullptr ? GetLastError() : kErrorSuccess;
}

// An object of the kind, its last error, and whether it is "fresh": a mutex
// free to take, an event not set, a mapping of zeros.
struct Made {
  std::shared_ptr<void> object;
  uint32_t error;
  bool fresh;
};
Made Make(const std::string& kind, const std::string& name) {
  if (kind == "mutex") {
    std::shared_ptr<NamedMutex> mutex = NamedMutex::Create(name.c_str(), false);
    return {mutex, GetLastError(), mutex && mutex->Wait(0) == WaitResult::kAcquired && mutex->Release()};
  }
  if (kind == "event") {
    std::shared_ptr<NamedEvent> event = NamedEvent::Create(name.c_str());
    return {event, GetLastError(), event && !event->Wait(0)};
  }
  std::shared_ptr<NamedMapping> mapping = NamedMapping::Create(name.c_str(), 4096);
  const auto* view = mapping ? static_cast<const char*>(mapping->Map()) : nullptr;
  return {mapping, GetLastError(), view != nullptr && view[0] == 0 && view[4095] == 0};
}

TEST_F(NamedObjectsTest, NewThenExistingAcrossProcessesAndFreshOnceTheLastHolderIsGone) {
  for (const char* kind : {"mutex", "event", "mapping"}) {
    SCOPED_TRACE(kind);
    const std::string name = Name(kind);
    for (bool killed : {false, true}) {
      Helper holder({kind, name});  // the mutex owned, the event set, the mapping filled
      const std::string line = holder.ReadLine();
      ASSERT_EQ(line.substr(0, 2), "0 ");
      const auto holderThread = static_cast<uint32_t>(std::stoul(line.substr(2)));
      EXPECT_EQ(ThreadOwnerProcess(holderThread), static_cast<uint32_t>(holder.process->Pid()));
      Made existing = Make(kind, killed ? Stem() + kind : name);  // an unprefixed name is the local one
      EXPECT_EQ(existing.error, kErrorAlreadyExists);
      EXPECT_FALSE(existing.fresh);  // it sees the holder's state
      existing.object.reset();
      EXPECT_EQ(killed ? (holder.process->Kill(), 0) : holder.Finish(), 0);
      EXPECT_EQ(ThreadOwnerProcess(holderThread), std::nullopt);
      const Made again = Make(kind, name);
      EXPECT_EQ(again.error, kErrorSuccess);
      EXPECT_TRUE(again.fresh);
    }
  }
}

TEST_F(NamedObjectsTest, NamesAreRefusedOrKeptApartByteForByteAndByNameSpace) {
  for (const std::string& name :
       {std::string("Local\\"), std::string(""), "Local\\" + std::string(250, 'x')}) {
    EXPECT_EQ(Refusal(NamedMutex::Create(name.c_str(), false)), kErrorInvalidParameter);
  }
  EXPECT_EQ(Refusal(NamedMutex::Open(nullptr)), kErrorInvalidParameter);
  std::vector<std::unique_ptr<NamedEvent>> events;
  const std::string global = "Global\\" + Stem() + "g/b";
  for (const std::string& name : {Name("a/b"), Name("a%2Fb"), Name("a%252Fb"), Name(".."), Name("."),
                                  Name("a\\b"), Name("\x01\xff"), Name("A/B"), Name("a b"), global}) {
    events.push_back(NamedEvent::Create(name.c_str()));
    ASSERT_NE(events.back(), nullptr) << name;
    EXPECT_EQ(GetLastError(), kErrorSuccess) << name;
  }
  // Shared by all users, but nobody can remove another's objects, and each object is its creator's alone.
  struct stat status {};
  ASSERT_EQ(stat(GlobalObjectDirectory().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 01777u);
  const auto files = ObjectFiles(Stem() + "g");
  ASSERT_EQ(files.size(), 1u);
  ASSERT_EQ(stat(files[0].c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
}

// Another user planted an object file under a name this user's storage uses,
// and its guard is held: the open is refused at once, not blocked.
TEST_F(NamedObjectsTest, AnotherUsersObjectIsRefusedWithoutWaiting) {
  settingstore::test::OtherUser other;
  SKIP_WITHOUT_OTHER_USER(other);
  const std::string file = GlobalObjectDirectory() + "/" + Stem() + "m";
  auto directory = NamedEvent::Create(("Global\\" + Stem() + "e").c_str());  // makes the directory
  ASSERT_EQ(other.Run([&] { return open(file.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644) >= 0 ? 0 : 1; }), 0);
  const int fd = open(file.c_str(), O_RDWR | O_CLOEXEC);
  struct flock guard = {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 1, .l_pid = 0};
  EXPECT_EQ(fcntl(fd, F_OFD_SETLK, &guard), 0);
  const int refused = settingstore::test::RunInChild(
      [&] {
        auto mutex = NamedMutex::Create(("Global\\" + Stem() + "m").c_str(), false);
        return mutex == nullptr && GetLastError() == kErrorAccessDenied ? 0 : 1;
      },
      static_cast<uid_t>(-1), static_cast<gid_t>(-1), std::chrono::seconds(5));
  close(fd);
  unlink(file.c_str());
  EXPECT_EQ(refused, 0) << "-1: the open waited on the guard";
}

TEST_F(NamedObjectsTest, MutexNestsForItsOwnerOnlyAndIsGoneWithItsLastHandleEvenWhileOwned) {
  const std::string name = Name("m");
  auto mutex = NamedMutex::Create(name.c_str(), true);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(mutex->Wait(kInfinite), WaitResult::kAcquired);
  for (int level = 0; level < 2; ++level) {
    std::thread([&] {
      EXPECT_EQ(mutex->Release() ? kErrorSuccess : GetLastError(), kErrorNotOwner);
      EXPECT_EQ(mutex->Wait(30), WaitResult::kTimedOut);
      auto existing = NamedMutex::Create(name.c_str(), true);  // initial ownership is the creator's only
      EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
      EXPECT_FALSE(existing->Release());
    }).join();
    EXPECT_TRUE(mutex->Release());
  }
  EXPECT_EQ(mutex->Release() ? kErrorSuccess : GetLastError(), kErrorNotOwner);
  EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);
  mutex.reset();  // owned still: its file goes all the same, as TearDown checks
}

// However the owner goes (its thread ends, its process ends or is killed, or
// its thread closed the handle first as a thread-local slot's cleanup does),
// the next waiter gets the mutex abandoned, and then plainly.
TEST_F(NamedObjectsTest, MutexOfAnOwnerThatWentIsAbandoned) {
  const std::string name = Name("m");
  for (const char* how : {"thread ends", "handle closed, thread ends", "process ends", "process killed"}) {
    SCOPED_TRACE(how);
    std::optional<Helper> owner;
    if (std::strstr(how, "process")) owner.emplace(std::vector<std::string>{"mutex", name});
    ASSERT_TRUE(!owner || owner->ReadLine().starts_with("0 "));
    auto mutex = NamedMutex::Create(name.c_str(), false);
    ASSERT_NE(mutex, nullptr);
    if (owner) {
      EXPECT_EQ(mutex->Wait(0), WaitResult::kTimedOut);
      EXPECT_EQ(std::strstr(how, "killed") ? (owner->process->Kill(), 0) : owner->Finish(), 0);
    } else {
      // Taken by a thread that ends; in the second case through a handle of its own, closed first.
      std::thread([&] {
        const auto own = std::strstr(how, "closed") ? NamedMutex::Create(name.c_str(), false) : nullptr;
        EXPECT_EQ((own ? own.get() : mutex.get())->Wait(0), WaitResult::kAcquired);
      }).join();
    }
    EXPECT_EQ(mutex->Wait(1000), WaitResult::kAbandoned);
    EXPECT_TRUE(mutex->Release());
    EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);  // no longer abandoned
    EXPECT_TRUE(mutex->Release());
  }
}

TEST_F(NamedObjectsTest, EventWakesEveryWaiterAndMappingsShareTheirBytesAndKeepTheirKind) {
  auto event = NamedEvent::Create(Name("e").c_str());
  ASSERT_NE(event, nullptr);
  EXPECT_FALSE(event->Wait(30));  // a wait that runs out
  bool woken[2] = {false, false};
  std::thread forever([&] { woken[0] = event->Wait(kInfinite); });
  std::thread timed([&] { woken[1] = event->Wait(60000); });
  SleepMs(20);
  EXPECT_EQ(Helper({"event", Name("e")}).ReadLine().substr(0, 4), "183 ");  // sets it
  forever.join();
  timed.join();
  EXPECT_TRUE(woken[0] && woken[1]);  // both: it stays set until reset

  constexpr size_t kSize = 3 * 4096 + 5;
  auto mapping = NamedMapping::Create(Name("map").c_str(), kSize);
  ASSERT_NE(mapping, nullptr);
  EXPECT_EQ(NamedMapping::Open(Name("map").c_str())->Size(), kSize);
  EXPECT_EQ(Refusal(NamedMapping::Create(Name("map").c_str(), 0)), kErrorInvalidParameter);
  EXPECT_EQ(Refusal(NamedMapping::Create(Name("map").c_str(), kSize + 4096)), kErrorNotEnoughMemory);
  EXPECT_EQ(Refusal(NamedMutex::Create(Name("map").c_str(), false)), kErrorInvalidHandle);
}

// A creator that opened the file just before its last holder removed it must
// not make an object of the removed file: nobody could find it by name. Files
// that nobody holds (their holders were killed) are reclaimed.
TEST_F(NamedObjectsTest, ObjectFilesThatRacingOrKilledHoldersLeaveAreRemadeOrReclaimed) {
  auto probe = NamedEvent::Create(Name("probe").c_str());  // the directory exists from here on
  const std::string path = LocalObjectDirectory() + "/" + Stem() + "e";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  // The guard: an open-file-description write lock on byte 0.
  struct flock guard = {.l_type = F_WRLCK, .l_whence = SEEK_SET, .l_start = 0, .l_len = 1, .l_pid = 0};
  ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &guard), 0);
  Helper creator({"event", Name("e")});
  struct stat info;
  ASSERT_EQ(fstat(fd, &info), 0);
  bool waiting = false;
  for (int attempt = 0; attempt < 500 && !waiting; ++attempt, SleepMs(2)) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
      waiting |= line.find("->") != std::string::npos &&
                 line.find(":" + std::to_string(info.st_ino) + " ") != std::string::npos;
    }
  }
  ASSERT_TRUE(waiting);
  unlink(path.c_str());  // as the last holder does, under the guard
  close(fd);
  EXPECT_EQ(creator.ReadLine().substr(0, 2), "0 ");
  auto event = NamedEvent::Create(Name("e").c_str());
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_TRUE(event->Wait(0));  // the one the helper set

  std::ofstream(LocalObjectDirectory() + "/" + Stem() + "b") << "x";
  EXPECT_EQ(Refusal(NamedMapping::Open(Name("b").c_str())), kErrorFileNotFound);
  // A process new to the name space clears it.
  EXPECT_EQ(Helper({"event", Name("other")}).ReadLine().substr(0, 2), "0 ");
  EXPECT_EQ(ObjectFiles(Stem() + "b"), std::vector<std::string>{});
}

// Threads that register as the owner lock does: a mutex created owned, whose
// handle a thread-local slot closes when the thread ends.
TEST_F(NamedObjectsTest, ObjectsOfEndedThreadsDoNotPileUp) {
  static int slot = TlsAlloc([](void* handle) { delete static_cast<NamedMutex*>(handle); });
  ASSERT_GE(slot, 0);
  auto keeper = NamedMutex::Create(Name("keeper").c_str(), false);
  const auto descriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = descriptors();
  for (int thread = 0; thread < 40; ++thread) {
    std::thread([&] {
      ASSERT_TRUE(
          TlsSetValue(slot, NamedMutex::Create(Name("t" + std::to_string(thread)).c_str(), true).release()));
    }).join();
  }
  NamedMutex::Open(Name("keeper").c_str()).reset();  // whatever the last thread left goes with the next use
  EXPECT_EQ(ObjectFiles(Stem() + "t"), std::vector<std::string>{});
  EXPECT_EQ(descriptors(), before);
}

}  // namespace
}  // namespace storage::platform
