// Named mutexes, events and mappings: names and name spaces, new or existing
// as seen from several processes, ownership and abandonment by ending threads
// and killed processes, and how object files come and go when processes race.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>

#include <cstring>
#include <fstream>
#include <latch>
#include <memory>
#include <thread>

#include "platform/NamedObjectTestSupport.h"
#include "platform/Platform.h"
#include "support/OtherUser.h"

namespace storage::platform {
namespace {

using testing::HelperProcess;
using NamedObjectsTest = testing::NamedObjectTest;

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
    const uint32_t error = GetLastError();
    const bool fresh = mutex && mutex->Wait(0) == WaitResult::kAcquired && mutex->Release();
    return {mutex, error, fresh};
  }
  if (kind == "event") {
    std::shared_ptr<NamedEvent> event = NamedEvent::Create(name.c_str());
    return {event, GetLastError(), event && !event->Wait(0)};
  }
  std::shared_ptr<NamedMapping> mapping = NamedMapping::Create(name.c_str(), 4096);
  const uint32_t error = GetLastError();
  const auto* view = mapping ? static_cast<const char*>(mapping->Map()) : nullptr;
  return {mapping, error, view != nullptr && std::all_of(view, view + 4096, [](char byte) { return byte == 0; })};
}

TEST_F(NamedObjectsTest, NewThenExistingAcrossProcessesAndFreshOnceTheLastHolderIsGone) {
  for (const char* kind : {"mutex", "event", "mapping"}) {
    SCOPED_TRACE(kind);
    const std::string name = Name(kind);
    Made first = Make(kind, name);
    EXPECT_EQ(first.error, kErrorSuccess);
    EXPECT_TRUE(first.fresh);
    EXPECT_EQ(Make(kind, Stem() + kind).error, kErrorAlreadyExists);  // an unprefixed name is the local one
    first.object.reset();
    EXPECT_FALSE(FileExists(kind));
    for (bool killed : {false, true}) {
      HelperProcess holder({"hold", kind, name});  // the mutex owned, the event set, the mapping filled
      ASSERT_EQ(holder.ReadLine().substr(0, 2), "0 ");
      EXPECT_EQ(Make(kind, name).error, kErrorAlreadyExists);
      HelperProcess second({"create", kind, name});
      EXPECT_EQ(second.ReadLine(), "183");
      EXPECT_EQ(killed ? (holder.Kill(), 0) : holder.Finish(), 0);
      const Made again = Make(kind, name);
      EXPECT_EQ(again.error, kErrorSuccess);
      EXPECT_TRUE(again.fresh);
    }
  }
}

TEST_F(NamedObjectsTest, NamesAreRefusedOrKeptApartByteForByteAndByNameSpace) {
  for (const std::string& name : {std::string("Local\\"), std::string(""), "Local\\" + std::string(250, 'x')}) {
    EXPECT_EQ(NamedMutex::Create(name.c_str(), false), nullptr);
    EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  }
  EXPECT_EQ(NamedMutex::Open(nullptr), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  std::vector<std::unique_ptr<NamedEvent>> events;
  for (const char* suffix : {"a/b", "a%2Fb", "a%252Fb", "..", ".", "a\\b", "\x01\xff", "A/B", "a b"}) {
    events.push_back(NamedEvent::Create(Name(suffix).c_str()));
    ASSERT_NE(events.back(), nullptr) << suffix;
    EXPECT_EQ(GetLastError(), kErrorSuccess) << suffix;
  }
  const std::string global = "Global\\" + Stem() + "a/b";
  auto first = NamedEvent::Create(global.c_str());
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_NE(NamedEvent::Create(global.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  // Shared by all users, but nobody can remove another's objects, and each object is its creator's alone.
  struct stat status {};
  ASSERT_EQ(stat(testing::GlobalObjectDirectory().c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 01777u);
  const auto files = testing::FilesStartingWith(testing::GlobalObjectDirectory(), Stem());
  ASSERT_EQ(files.size(), 1u);
  ASSERT_EQ(stat((testing::GlobalObjectDirectory() + "/" + files[0]).c_str(), &status), 0);
  EXPECT_EQ(status.st_mode & 07777, 0600u);
}

// Another user's process holds the guard of an object file it planted under
// a name this user's storage uses: the open is refused at once, not blocked.
TEST_F(NamedObjectsTest, AnotherUsersObjectIsRefusedWithoutWaiting) {
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

TEST_F(NamedObjectsTest, MutexNestsForItsOwnerOnlyAndIsGoneWithItsLastHandleEvenWhileOwned) {
  const std::string name = Name("m");
  auto mutex = NamedMutex::Create(name.c_str(), true);
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);
  EXPECT_EQ(mutex->Wait(kInfinite), WaitResult::kAcquired);
  for (int level = 0; level < 3; ++level) {
    std::thread([&] {
      EXPECT_FALSE(mutex->Release());
      EXPECT_EQ(GetLastError(), kErrorNotOwner);
      EXPECT_EQ(mutex->Wait(30), WaitResult::kTimedOut);
      auto existing = NamedMutex::Create(name.c_str(), true);  // initial ownership is the creator's only
      EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
      EXPECT_FALSE(existing->Release());
    }).join();
    EXPECT_TRUE(mutex->Release());
  }
  EXPECT_FALSE(mutex->Release());
  EXPECT_EQ(GetLastError(), kErrorNotOwner);
  EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);
  mutex.reset();  // owned still
  EXPECT_FALSE(FileExists("m"));
  EXPECT_EQ(NamedMutex::Open(name.c_str()), nullptr);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
}

// However the owner goes (its thread ends, its process ends or is killed, or
// its thread closed the handle first as a thread-local slot's cleanup does),
// the next waiter gets the mutex abandoned, and then plainly.
TEST_F(NamedObjectsTest, MutexOfAnOwnerThatWentIsAbandoned) {
  const std::string name = Name("m");
  for (const char* how : {"thread ends", "handle closed, thread ends", "process ends", "process killed"}) {
    SCOPED_TRACE(how);
    const bool process = std::strstr(how, "process") != nullptr;
    std::unique_ptr<HelperProcess> owner;
    if (process) owner = std::make_unique<HelperProcess>(std::vector<std::string>{"hold", "mutex", name});
    ASSERT_TRUE(!process || owner->ReadLine().starts_with("0 "));
    auto mutex = NamedMutex::Create(name.c_str(), false);
    ASSERT_NE(mutex, nullptr);
    if (process) {
      EXPECT_EQ(mutex->Wait(0), WaitResult::kTimedOut);
      EXPECT_EQ(std::strstr(how, "killed") ? (owner->Kill(), 0) : owner->Finish(), 0);
    } else if (std::strstr(how, "closed") != nullptr) {
      std::latch created(1), closed(1);
      std::thread thread([&] {
        NamedMutex::Create(name.c_str(), false)->Wait(0);  // owned, its handle closed at once
        created.count_down();
        closed.wait();
      });
      created.wait();
      HelperProcess waiter({"wait", name});  // another process must see it abandoned too
      EXPECT_EQ(waiter.ReadLine(), "0");
      waiter.WriteLine("0");
      EXPECT_EQ(waiter.ReadLine(), "2");  // timed out: owned
      closed.count_down();
      thread.join();
      waiter.WriteLine("1000");
      EXPECT_EQ(waiter.ReadLine(), "1");  // abandoned
      EXPECT_EQ(waiter.Finish(), 0);
      EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired);
      EXPECT_TRUE(mutex->Release());
      continue;
    } else {
      std::thread([&] { EXPECT_EQ(mutex->Wait(0), WaitResult::kAcquired); }).join();
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
  HelperProcess setter({"hold", "event", Name("e")});
  EXPECT_EQ(setter.ReadLine().substr(0, 4), "183 ");
  forever.join();
  timed.join();
  EXPECT_TRUE(woken[0] && woken[1]);
  EXPECT_TRUE(event->Wait(0));  // manual reset: stays set

  constexpr size_t kSize = 3 * 4096 + 5;
  auto mapping = NamedMapping::Create(Name("map").c_str(), kSize);
  ASSERT_NE(mapping, nullptr);
  ASSERT_EQ(mapping->Size(), kSize);
  auto opened = NamedMapping::Open(Name("map").c_str());
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(opened->Size(), kSize);
  static_cast<char*>(mapping->Map())[kSize - 1] = 1;
  EXPECT_EQ(static_cast<char*>(opened->Map())[kSize - 1], 1);
  mapping->Unmap();
  EXPECT_EQ(static_cast<char*>(mapping->Map())[kSize - 1], 1);
  EXPECT_EQ(NamedMapping::Create(Name("map").c_str(), 0), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidParameter);
  EXPECT_EQ(NamedMapping::Create(Name("map").c_str(), kSize + 4096), nullptr);
  EXPECT_EQ(GetLastError(), kErrorNotEnoughMemory);
  EXPECT_EQ(NamedMutex::Create(Name("map").c_str(), false), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
  EXPECT_EQ(NamedEvent::Create(Name("map").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), kErrorInvalidHandle);
}

// A creator that opened the file just before its last holder removed it must
// not make an object of the removed file: nobody could find it by name. Files
// that nobody holds (their holders were killed) are reclaimed.
TEST_F(NamedObjectsTest, ObjectFilesThatRacingOrKilledHoldersLeaveAreRemadeOrReclaimed) {
  auto probe = NamedEvent::Create(Name("probe").c_str());  // the directory exists from here on
  const std::string path = testing::LocalObjectDirectory() + "/" + Stem() + "e";
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_GE(fd, 0);
  struct flock guard = {};  // the guard: an open-file-description write lock on byte 0
  guard.l_type = F_WRLCK;
  guard.l_len = 1;
  ASSERT_EQ(fcntl(fd, F_OFD_SETLK, &guard), 0);
  HelperProcess creator({"hold", "event", Name("e")});
  struct stat info;
  ASSERT_EQ(fstat(fd, &info), 0);
  bool waiting = false;
  for (int attempt = 0; attempt < 500 && !waiting; ++attempt, SleepMs(2)) {
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);) {
      waiting |= line.find("->") != std::string::npos && line.find(":" + std::to_string(info.st_ino) + " ") != std::string::npos;
    }
  }
  ASSERT_TRUE(waiting);
  unlink(path.c_str());  // as the last holder does, under the guard
  close(fd);
  EXPECT_EQ(creator.ReadLine().substr(0, 2), "0 ");
  auto event = NamedEvent::Create(Name("e").c_str());
  EXPECT_EQ(GetLastError(), kErrorAlreadyExists);
  EXPECT_TRUE(event->Wait(0));  // the one the helper set
  EXPECT_EQ(creator.Finish(), 0);
  event.reset();

  for (const char* suffix : {"a", "b"}) std::ofstream(testing::LocalObjectDirectory() + "/" + Stem() + suffix) << "x";
  auto created = NamedEvent::Create(Name("a").c_str());
  EXPECT_EQ(GetLastError(), kErrorSuccess);
  EXPECT_EQ(NamedMapping::Open(Name("b").c_str()), nullptr);
  EXPECT_EQ(GetLastError(), kErrorFileNotFound);
  HelperProcess other({"create", "event", Name("other")});  // a process that starts using the name space
  EXPECT_EQ(other.ReadLine(), "0");
  EXPECT_FALSE(FileExists("b"));
}

// Threads that register as the owner lock does: a mutex created owned, whose
// handle a thread-local slot closes when the thread ends.
TEST_F(NamedObjectsTest, ObjectsOfEndedThreadsDoNotPileUp) {
  static int slot = TlsAlloc([](void* handle) { delete static_cast<NamedMutex*>(handle); });
  ASSERT_GE(slot, 0);
  auto keeper = NamedMutex::Create(Name("keeper").c_str(), false);
  const auto descriptors = [] { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); };
  const auto before = descriptors();
  for (int thread = 0; thread < 40; ++thread) {
    std::thread([&] { ASSERT_TRUE(TlsSetValue(slot, NamedMutex::Create(Name("t" + std::to_string(thread)).c_str(), true).release())); }).join();
  }
  NamedMutex::Open(Name("keeper").c_str()).reset();  // whatever the last thread left goes with the next use
  EXPECT_TRUE(testing::FilesStartingWith(testing::LocalObjectDirectory(), Stem() + "t").empty());
  EXPECT_EQ(descriptors(), before);
}

TEST_F(NamedObjectsTest, ThreadOwnerProcessFindsLiveThreadsOfAnyProcess) {
  EXPECT_EQ(ThreadOwnerProcess(CurrentThreadId()), CurrentProcessId());
  uint32_t ended = 0;
  std::thread([&] {
    ended = CurrentThreadId();
    EXPECT_NE(ended, CurrentProcessId());
    EXPECT_EQ(ThreadOwnerProcess(ended), CurrentProcessId());
  }).join();
  HelperProcess helper({"hold", "event", Name("e")});
  const std::string line = helper.ReadLine();
  ASSERT_EQ(line.substr(0, 2), "0 ");
  const auto helperThread = static_cast<uint32_t>(std::stoul(line.substr(2)));
  EXPECT_EQ(ThreadOwnerProcess(helperThread), static_cast<uint32_t>(helper.pid()));
  helper.Kill();
  for (uint32_t gone : {ended, helperThread, 0u, 0xFFFFFFFEu}) EXPECT_EQ(ThreadOwnerProcess(gone), std::nullopt);
  NamedEvent::Create(Name("e").c_str());  // reclaims the object the killed helper left
}

}  // namespace
}  // namespace storage::platform
