#include "shm/SharedMemory.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <xxhash.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/NamedSync.h"
#include "platform/Platform.h"
#include "shm/SegmentTestSupport.h"
#include "storage/storage.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;
using storage::kSharedFileSize;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;
namespace platform = storage::platform;

constexpr uint32_t kHeaderSize = 64;
constexpr uint32_t kPayloadSize = kSharedFileSize - kHeaderSize;

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::vector<uint8_t> bytes(fs::file_size(path));
  std::ifstream(path, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), bytes.size());
  return bytes;
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

std::vector<std::string> FileNames(const fs::path& directory) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory))
    names.push_back(entry.path().filename().string());
  return names;
}

// How many bytes differ from value; a matcher over a megabyte is too slow.
size_t CountOtherThan(const std::vector<uint8_t>& bytes, uint8_t value) {
  return bytes.size() - static_cast<size_t>(std::count(bytes.begin(), bytes.end(), value));
}

std::vector<uint8_t> Payload(storage::SharedRegion& segment) {
  auto* data = static_cast<const uint8_t*>(segment.GetData());
  return {data, data + segment.GetDataSize()};
}

// Collects the library's log lines while it lives.
class LogCapture {
 public:
  LogCapture() {
    Lines().clear();
    storage::logger::SetSink(&Collect);
    storage::logger::SetLevel(storage::logger::LEVEL_DEBUG);
  }
  ~LogCapture() {
    storage::logger::SetLevel(storage::logger::LEVEL_ERROR);
    storage::logger::SetSink(nullptr);
  }
  std::vector<std::string> Errors() {
    std::lock_guard<std::mutex> lock(Mutex());
    return Lines();
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<std::string>& Lines() {
    static std::vector<std::string> lines;
    return lines;
  }
  static void Collect(storage::logger::Level level, const char* message) {
    std::lock_guard<std::mutex> lock(Mutex());
    if (level == storage::logger::LEVEL_ERROR) Lines().push_back(message);
  }
};

// Every test names its segments with its own prefix, works in its own
// directory, and must leave no named object behind.
class SharedSegmentTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    prefix_ = "SegmentTest_" + std::to_string(getpid()) + "_" + std::to_string(++counter) + "_";
  }

  void TearDown() override { EXPECT_THAT(ObjectFiles(), IsEmpty()); }

  std::string Name(const std::string& what = "hive") const { return "Local\\" + prefix_ + what; }
  fs::path Path(const std::string& file) const { return directory_.path() / file; }

  // The object files of this test's names that the platform still keeps.
  std::vector<std::string> ObjectFiles() const {
    std::vector<std::string> files;
    const fs::path objects = "/dev/shm/settingstore-" + std::to_string(getuid());
    for (const auto& entry : fs::directory_iterator(objects)) {
      const std::string file = entry.path().filename().string();
      if (file.starts_with(prefix_)) files.push_back(file);
    }
    return files;
  }

  // Whether no process holds the named event or mutex of a file segment: a
  // creation that finds none makes them anew.
  bool EventIsFree(const std::string& name) const {
    storage::EventEx event((name + "EventInitialize").c_str());
    return event.Created();
  }
  bool MutexIsFree(const std::string& name) const {
    auto mutex = platform::NamedMutex::Create((name + "Mutex").c_str(), false);
    return mutex && platform::GetLastError() == platform::kErrorSuccess;
  }

  // Writes a good image of a payload filled with `fill` through a segment.
  void StoreImage(const fs::path& path, uint8_t fill) {
    SegmentPtr<FileSegment> segment(new FileSegment);
    ASSERT_TRUE(segment->Open(Name("writer").c_str(), path.c_str(), true));
    std::memset(segment->GetData(), fill, segment->GetDataSize());
    segment->Unlock();
  }

  std::string prefix_;
  TempDirectory directory_;
};

// ---- Segments in memory ------------------------------------------------------

TEST_F(SharedSegmentTest, SizeBelowTheHeaderIsRefusedWithNothingHeld) {
  SegmentPtr<MemorySegment> segment(new MemorySegment);
  EXPECT_FALSE(segment->Open(Name().c_str(), kHeaderSize - 1));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorInvalidParameter);
  EXPECT_EQ(segment->GetData(), nullptr);
  EXPECT_EQ(segment->GetDataSize(), 0u);
  EXPECT_THAT(ObjectFiles(), IsEmpty());

  ASSERT_TRUE(segment->Open(Name().c_str(), kHeaderSize));
  EXPECT_EQ(segment->GetDataSize(), 0u);
  segment->Unlock();
}

TEST_F(SharedSegmentTest, NewSegmentIsZeroFilledAndLockedByItsOpener) {
  SegmentPtr<MemorySegment> segment(new MemorySegment);
  ASSERT_TRUE(segment->Open(Name().c_str(), kSharedFileSize));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSuccess);
  EXPECT_EQ(segment->GetDataSize(), kPayloadSize);
  EXPECT_EQ(segment->GetData(), reinterpret_cast<uint8_t*>(segment->header()) + kHeaderSize);
  EXPECT_EQ(CountOtherThan(Payload(*segment), 0), 0u);

  auto& lock = segment->header()->creationLock();
  EXPECT_EQ(lock.owner(), platform::CurrentThreadId());
  EXPECT_EQ(lock.count(), 1u);
  segment->Unlock();
  EXPECT_EQ(lock.owner(), 0u);
  EXPECT_EQ(lock.count(), 0u);
  segment->Unlock();  // not the holder: nothing changes
  EXPECT_EQ(lock.count(), 0u);
}

TEST_F(SharedSegmentTest, SecondOpenSharesTheBytesAndReentersTheLock) {
  SegmentPtr<MemorySegment> first(new MemorySegment);
  SegmentPtr<MemorySegment> second(new MemorySegment);
  ASSERT_TRUE(first->Open(Name().c_str(), kSharedFileSize));
  ASSERT_TRUE(second->Open(Name().c_str(), kSharedFileSize));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAlreadyExists);
  EXPECT_EQ(second->header()->creationLock().count(), 2u);

  static_cast<uint8_t*>(first->GetData())[kPayloadSize - 1] = 0x5A;
  EXPECT_EQ(static_cast<uint8_t*>(second->GetData())[kPayloadSize - 1], 0x5A);
  second->Unlock();
  first->Unlock();
  EXPECT_EQ(first->header()->creationLock().owner(), 0u);

  // Gone with its last holder, and with it the contents.
  first.reset();
  second.reset();
  SegmentPtr<MemorySegment> again(new MemorySegment);
  ASSERT_TRUE(again->Open(Name().c_str(), kSharedFileSize));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSuccess);
  EXPECT_EQ(static_cast<uint8_t*>(again->GetData())[kPayloadSize - 1], 0);
  again->Unlock();
}

TEST_F(SharedSegmentTest, AnotherProcessWaitsForTheUnlockAndSeesTheSameBytes) {
  SegmentPtr<MemorySegment> segment(new MemorySegment);
  ASSERT_TRUE(segment->Open(Name().c_str(), kSharedFileSize));
  auto* payload = static_cast<volatile uint8_t*>(segment->GetData());
  payload[0] = kTestMark;

  const fs::path ready = Path("ready");
  HelperProcess helper({"segment-memory-join", Name(), ready.string()});
  ASSERT_TRUE(helper.Started());
  ASSERT_TRUE(WaitForFile(ready));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(helper.Running());
  EXPECT_EQ(static_cast<int>(payload[1]), 0) << "the helper went past the creation lock";

  segment->Unlock();
  EXPECT_EQ(helper.Wait(), kHelperDone);
  EXPECT_EQ(static_cast<int>(payload[1]), kHelperMark);
}

// ---- Segments with a file ----------------------------------------------------

TEST_F(SharedSegmentTest, MissingFileWithoutCreateFailsWithNothingHeld) {
  // A second holder keeps the mapping, so that its lock words stay readable.
  SegmentPtr<MemorySegment> holder(new MemorySegment);
  ASSERT_TRUE(holder->Open(Name().c_str(), kSharedFileSize));
  holder->Unlock();

  SegmentPtr<FileSegment> segment(new FileSegment);
  EXPECT_FALSE(segment->Open(Name().c_str(), Path("hive.dm2").c_str(), false));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_EQ(segment->GetData(), nullptr);
  EXPECT_EQ(holder->header()->creationLock().owner(), 0u);
  EXPECT_EQ(holder->header()->creationLock().count(), 0u);
  EXPECT_TRUE(EventIsFree(Name()));
  EXPECT_TRUE(MutexIsFree(Name()));
  segment.reset();
  EXPECT_FALSE(fs::exists(Path("hive.dm2")));
}

TEST_F(SharedSegmentTest, MissingFileWithCreateStartsEmptyAndTheLastCloserWritesTheImage) {
  const fs::path path = Path("new/dir/hive.dm2");
  std::vector<uint8_t> pattern(kPayloadSize);
  for (uint32_t i = 0; i < kPayloadSize; ++i) pattern[i] = static_cast<uint8_t>(i * 7 + i / 251);
  {
    SegmentPtr<FileSegment> segment(new FileSegment);
    ASSERT_TRUE(segment->Open(Name().c_str(), path.c_str(), true));
    EXPECT_FALSE(segment->loadedFromFile());
    EXPECT_EQ(CountOtherThan(Payload(*segment), 0), 0u);
    EXPECT_EQ(segment->header()->creationLock().owner(), platform::CurrentThreadId());
    segment->Unlock();
    std::memcpy(segment->GetData(), pattern.data(), kPayloadSize);
  }

  const std::vector<uint8_t> image = ReadFile(path);
  ASSERT_EQ(image.size(), kSharedFileSize);
  const uint32_t hash = XXH32(image.data() + kHeaderSize, kPayloadSize, 0);
  EXPECT_THAT(
      std::vector<uint8_t>(image.begin(), image.begin() + 12),
      ElementsAre(0, 0, 0, 0, 0, 0, 0, 0, hash & 0xFF, (hash >> 8) & 0xFF, (hash >> 16) & 0xFF, hash >> 24));
  EXPECT_TRUE(std::equal(pattern.begin(), pattern.end(), image.begin() + kHeaderSize));
  EXPECT_THAT(FileNames(path.parent_path()), ElementsAre("hive.dm2"));

  SegmentPtr<FileSegment> reopened(new FileSegment);
  ASSERT_TRUE(reopened->Open(Name().c_str(), path.c_str(), false));
  reopened->Unlock();
  EXPECT_EQ(Payload(*reopened), pattern);
  EXPECT_EQ(reopened->header()->checksum(), hash);
}

TEST_F(SharedSegmentTest, DamagedFilesAreRefusedAndKeptWithNothingHeld) {
  const fs::path path = Path("hive.dm2");
  StoreImage(path, 0x3C);
  const std::vector<uint8_t> good = ReadFile(path);
  ASSERT_EQ(good.size(), kSharedFileSize);

  struct Damage {
    const char* what;
    std::vector<uint8_t> image;
    bool checksum;  // refused for its checksum rather than its size
  };
  std::vector<Damage> damages;
  damages.push_back({"flipped payload byte", good, true});
  damages.back().image[kSharedFileSize - 1] ^= 0x01;
  damages.push_back({"flipped checksum byte", good, true});
  damages.back().image[9] ^= 0x80;
  damages.push_back({"one byte short", {good.begin(), good.end() - 1}, false});
  damages.push_back({"empty", {}, false});

  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    WriteFile(path, damage.image);
    SegmentPtr<MemorySegment> holder(new MemorySegment);
    ASSERT_TRUE(holder->Open(Name().c_str(), kSharedFileSize));
    holder->Unlock();

    SegmentPtr<FileSegment> segment(new FileSegment);
    if (damage.checksum) {
      EXPECT_THROW(segment->Open(Name().c_str(), path.c_str(), true), storage::ChecksumException);
    } else {
      EXPECT_THROW(segment->Open(Name().c_str(), path.c_str(), true), storage::LoadHiveException);
    }
    EXPECT_EQ(segment->GetData(), nullptr);
    EXPECT_EQ(holder->header()->creationLock().owner(), 0u);
    EXPECT_TRUE(EventIsFree(Name()));
    EXPECT_TRUE(MutexIsFree(Name()));
    segment.reset();
    EXPECT_EQ(ReadFile(path), damage.image);
  }
}

TEST_F(SharedSegmentTest, AnUnreadableFileIsRefusedRatherThanStartedEmpty) {
  const fs::path path = Path("hive.dm2");
  fs::create_directory(path);
  SegmentPtr<FileSegment> segment(new FileSegment);
  EXPECT_THROW(segment->Open(Name().c_str(), path.c_str(), true), storage::LoadHiveException);
  segment.reset();
  EXPECT_TRUE(fs::is_directory(path));
}

// The test opens first and closes last; the helper opens second and closes
// first. The file is deleted in between: the helper must take the image from
// memory, and its close must write nothing.
TEST_F(SharedSegmentTest, TheSecondOpenerUsesMemoryAndOnlyTheLastCloserWrites) {
  const fs::path path = Path("hive.dm2");
  StoreImage(path, 0x11);
  SegmentPtr<FileSegment> segment(new FileSegment);
  ASSERT_TRUE(segment->Open(Name().c_str(), path.c_str(), false));
  EXPECT_TRUE(segment->loadedFromFile());
  static_cast<uint8_t*>(segment->GetData())[0] = kTestMark;
  segment->Unlock();
  fs::remove(path);

  HelperProcess helper({"segment-file-join", Name(), path.string(), Path("ready").string(), "-"});
  ASSERT_TRUE(helper.Started());
  EXPECT_EQ(helper.Wait(), kHelperDone);
  EXPECT_FALSE(fs::exists(path)) << "a closer that was not the last wrote the file";

  segment.reset();
  ASSERT_TRUE(fs::exists(path));
  SegmentPtr<FileSegment> reopened(new FileSegment);
  ASSERT_TRUE(reopened->Open(Name().c_str(), path.c_str(), false));
  reopened->Unlock();
  const std::vector<uint8_t> payload = Payload(*reopened);
  EXPECT_EQ(payload[0], kTestMark);
  EXPECT_EQ(payload[1], kHelperMark);
  EXPECT_EQ(CountOtherThan(payload, 0x11), 2u);
}

TEST_F(SharedSegmentTest, TheLastCloserInAnotherProcessWrites) {
  const fs::path path = Path("hive.dm2");
  StoreImage(path, 0x22);
  SegmentPtr<FileSegment> segment(new FileSegment);
  ASSERT_TRUE(segment->Open(Name().c_str(), path.c_str(), false));
  static_cast<uint8_t*>(segment->GetData())[0] = kTestMark;
  segment->Unlock();
  fs::remove(path);

  const fs::path ready = Path("ready");
  const fs::path go = Path("go");
  HelperProcess helper({"segment-file-join", Name(), path.string(), ready.string(), go.string()});
  ASSERT_TRUE(helper.Started());
  ASSERT_TRUE(WaitForFile(ready));
  segment.reset();
  EXPECT_FALSE(fs::exists(path)) << "the first closer wrote the file";

  TouchFile(go);
  EXPECT_EQ(helper.Wait(), kHelperDone);
  const std::vector<uint8_t> image = ReadFile(path);
  ASSERT_EQ(image.size(), kSharedFileSize);
  EXPECT_EQ(image[kHeaderSize], kTestMark);
  EXPECT_EQ(image[kHeaderSize + 1], kHelperMark);
  EXPECT_EQ(image[kSharedFileSize - 1], 0x22);
}

TEST_F(SharedSegmentTest, AProcessKilledWhileSavingLeavesALoadableFile) {
  const fs::path path = Path("hive.dm2");
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    HelperProcess helper({"segment-save-loop", Name(), path.string()});
    ASSERT_TRUE(helper.Started());
    ASSERT_TRUE(WaitForFile(path));
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 15 * round));
    ASSERT_TRUE(helper.Running()) << "the save loop stopped with " << helper.Wait();
    helper.Kill();

    SegmentPtr<FileSegment> segment(new FileSegment);
    bool opened = false;
    ASSERT_NO_THROW(opened = segment->Open(Name().c_str(), path.c_str(), false));
    ASSERT_TRUE(opened);
    segment->Unlock();
    const std::vector<uint8_t> payload = Payload(*segment);
    EXPECT_NE(payload[0], 0) << "no generation was saved";
    EXPECT_EQ(CountOtherThan(payload, payload[0]), 0u);
  }
}

TEST_F(SharedSegmentTest, AFailedSaveIsLoggedNotThrownAndKeepsWhatWasThere) {
  LogCapture log;
  // The directory cannot be made: a file stands in its place.
  TouchFile(Path("blocker"));
  const fs::path blocked = Path("blocker/sub/hive.dm2");
  SegmentPtr<FileSegment> segment(new FileSegment);
  ASSERT_TRUE(segment->Open(Name().c_str(), blocked.c_str(), true));
  segment->Unlock();
  EXPECT_NO_THROW(segment.reset());
  EXPECT_THAT(log.Errors(), ElementsAre("Unable to open shared file for write - " + blocked.string()));

  // The replacement cannot land: a directory took the file's place meanwhile.
  const fs::path path = Path("hive.dm2");
  segment.reset(new FileSegment);
  ASSERT_TRUE(segment->Open(Name().c_str(), path.c_str(), true));
  segment->Unlock();
  fs::create_directories(path / "kept");
  EXPECT_NO_THROW(segment.reset());
  EXPECT_THAT(log.Errors(), Not(IsEmpty()));
  EXPECT_EQ(log.Errors().back(), "Unable to write to shared file - " + path.string());
  EXPECT_TRUE(fs::is_directory(path / "kept"));
  EXPECT_THAT(FileNames(directory_.path()), Each(Not(HasSubstr(".tmp"))));
}

}  // namespace
}  // namespace settingstore::test
