// What only Windows has: kernel objects that live while any process holds a
// handle, names that reach the kernel as given, a mutex abandoned by a
// terminated process, and a file replaced while others have it open.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>

#include "base/PathUtils.h"
#include "platform/Platform.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

#include <windows.h>

namespace settingstore::test {
namespace {

namespace platform = storage::platform;

std::string UniqueName(const std::string& space, const std::string& suffix) {
  return space + "settingstore-win32-" + std::to_string(platform::CurrentProcessId()) + "-" + suffix;
}

// platform_object_holder making an object of the kind; returns once it has.
struct Holder {
  Holder(const char* kind, const std::string& name) {
    streams.out = directory.File("out");
    streams.inputPipe = true;
    process.emplace(std::vector<std::string>{kind, name}, &streams);
    for (int tries = 0; tries < 2000 && Printed().empty() && process->Running(); ++tries) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }
  std::string Printed() const { return storage::utils::ReadWholeFile(streams.out); }

  TempDirectory directory;
  HelperStreams streams;
  std::optional<HelperProcess> process;
};

TEST(Win32Test, ObjectsLiveWhileAnyProcessHoldsAHandle) {
  const std::string name = UniqueName("Local\\", "mapping");
  Holder holder("mapping", name);
  ASSERT_EQ(holder.Printed().substr(0, 2), "0 ");  // new

  auto mine = platform::NamedMapping::Open(name.c_str());
  ASSERT_NE(mine, nullptr);
  ASSERT_NE(mine->Map(), nullptr);
  EXPECT_EQ(static_cast<unsigned char*>(mine->Map())[4095], 1);  // the holder's bytes
  EXPECT_NE(platform::NamedMapping::Create(name.c_str(), 4096), nullptr);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAlreadyExists);

  holder.process->CloseInput();
  EXPECT_EQ(holder.process->Wait(std::chrono::seconds(30)), 0);
  EXPECT_NE(platform::NamedMapping::Open(name.c_str()), nullptr);  // ours keeps it
  mine.reset();
  EXPECT_EQ(platform::NamedMapping::Open(name.c_str()), nullptr);
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
}

TEST(Win32Test, MutexOfATerminatedProcessIsAbandonedThenPlainlyAcquired) {
  const std::string name = UniqueName("Local\\", "mutex");
  Holder holder("mutex", name);
  auto mutex = platform::NamedMutex::Open(name.c_str());
  ASSERT_NE(mutex, nullptr);
  EXPECT_EQ(mutex->Wait(0), platform::WaitResult::kTimedOut);
  holder.process->Kill();
  EXPECT_EQ(holder.process->Wait(), 137);
  EXPECT_EQ(mutex->Wait(10000), platform::WaitResult::kAbandoned);
  EXPECT_TRUE(mutex->Release());
  EXPECT_EQ(mutex->Wait(0), platform::WaitResult::kAcquired);
  EXPECT_TRUE(mutex->Release());
  EXPECT_FALSE(mutex->Release());
  EXPECT_EQ(platform::GetLastError(), platform::kErrorNotOwner);
}

// "Local\" and "Global\" are the kernel's own name spaces: what the layer made
// is found by the system call under the same name, and a name taken by one
// kind of object is refused for another.
TEST(Win32Test, NamesReachTheKernelAsGiven) {
  for (const std::string space : {"Local\\", "Global\\"}) {
    const std::string name = UniqueName(space, "names");
    auto mapping = platform::NamedMapping::Create(name.c_str(), 4096);
    ASSERT_NE(mapping, nullptr) << name;
    EXPECT_EQ(platform::GetLastError(), platform::kErrorSuccess);
    std::memcpy(mapping->Map(), "kernel", 7);

    const HANDLE raw = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    ASSERT_NE(raw, nullptr) << name;
    const void* view = MapViewOfFile(raw, FILE_MAP_READ, 0, 0, 0);
    ASSERT_NE(view, nullptr);
    EXPECT_STREQ(static_cast<const char*>(view), "kernel") << name;
    UnmapViewOfFile(view);
    CloseHandle(raw);

    EXPECT_EQ(platform::NamedMutex::Create(name.c_str(), false), nullptr) << name;
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
    EXPECT_EQ(platform::NamedEvent::Create(name.c_str()), nullptr) << name;
    EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidHandle);
  }
}

// Replacing a file that a reader has open either succeeds or leaves the old
// file whole (Wine refuses even a reader that shares deletion); the reader
// keeps the old bytes and no temporary is left behind. A reader that does
// not share deletion always makes it fail.
TEST(Win32Test, ReplacingAFileThatOthersHaveOpen) {
  TempDirectory directory;
  const std::string file = directory.File("settings.storage");
  ASSERT_TRUE(platform::ReplaceFileAtomically(file.c_str(), "old", 3));

  for (const DWORD share :
       {DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE}, DWORD{FILE_SHARE_READ}}) {
    SCOPED_TRACE("share mode " + std::to_string(share));
    const HANDLE reader = CreateFileA(file.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    const bool replaced = platform::ReplaceFileAtomically(file.c_str(), "new", 3);
    if ((share & FILE_SHARE_DELETE) == 0) {
      EXPECT_FALSE(replaced);
    }
    char seen[4] = {};
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(reader, seen, 3, &count, nullptr));
    EXPECT_STREQ(seen, "old");
    CloseHandle(reader);
    EXPECT_EQ(storage::utils::ReadWholeFile(file), replaced ? "new" : "old");
    for (const auto& entry : std::filesystem::directory_iterator(directory.path())) {
      EXPECT_EQ(entry.path().filename(), "settings.storage");
    }
    if (replaced) {
      ASSERT_TRUE(platform::ReplaceFileAtomically(file.c_str(), "old", 3));
    }
  }
}

}  // namespace
}  // namespace settingstore::test
