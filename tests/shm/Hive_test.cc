// Shared segments, one hive's block allocator, and the page manager that
// chains hives: sharing and growth, limits, the hive files and what happens
// to damaged ones, and threads and processes that use one storage at once.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "base/NamedSync.h"
#include "platform/Platform.h"
#include "shm/helper/PageManagerSupport.h"
#include "storage/storage.h"
#include "support/HelperProcess.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;
namespace platform = storage::platform;
using storage::InitMemAddress;
using storage::PageManager;
using storage::PageMemoryManager;

constexpr uint32_t kNull = PageMemoryManager::kNullOffset;
constexpr uint32_t kAll = PageManager::kMaxAllocation;
constexpr uint32_t kPayloadSize = storage::kSharedFileSize - 64;

std::vector<uint8_t> ReadFile(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
}

// Every test names its segments with its own prefix, works in its own
// directory, and must leave no named object behind.
class HiveTest : public ::testing::Test {
 protected:
  void SetUp() override {
    static int counter = 0;
    prefix_ = "shmtest_" + std::to_string(storage::platform::CurrentProcessId()) + "_" + std::to_string(++counter) + "_";
  }
  void TearDown() override {
#ifndef _WIN32
    EXPECT_EQ(NamedObjectsStartingWith(prefix_), 0);
#endif
  }
  std::string Name(const std::string& what = "") const { return "Local\\" + prefix_ + what; }
  fs::path Path(const std::string& file) const { return directory_.path() / file; }
  void Start(PageManager& manager, bool fileBacked = false) {
    StartPageManager(manager, Name(), fileBacked ? Path("hive").string() : "");
  }
  bool SegmentExists(const char* suffix) const {
    return platform::NamedMapping::Open((Name() + suffix).c_str()) != nullptr;
  }
  std::string Signature(PageManager& manager, int hive) {  // of the head, the first block carved from the top
    return std::string(static_cast<const char*>(manager.GetPoint(InitMemAddress(hive, 1048448))), 8);
  }

  std::string prefix_;
  TempDirectory directory_;
};

// ---- Segments -------------------------------------------------------------------

TEST_F(HiveTest, MissingDamagedOrUnreadableSegmentFilesAreRefusedAndKeptWithNothingHeld) {
  const fs::path path = Path("segment.dm2");
  {
    SegmentPtr<FileSegment> writer(new FileSegment);
    ASSERT_TRUE(writer->Open(Name("writer").c_str(), path.string().c_str(), true));
    std::memset(writer->GetData(), 0x3C, writer->GetDataSize());
    writer->Unlock();
  }
  const std::vector<uint8_t> good = ReadFile(path);
  ASSERT_EQ(good.size(), storage::kSharedFileSize);
  enum Refusal { kNotFound, kChecksum, kLoad };
  struct Damage {
    const char* what;
    std::vector<uint8_t> image;
    Refusal refusal;
  };
  std::vector<Damage> damages = {{"flipped payload byte", good, kChecksum},
                                 {"one byte short", {good.begin(), good.end() - 1}, kLoad},
                                 {"a directory", {}, kLoad},
                                 {"missing, not to be created", {}, kNotFound}};
  damages[0].image.back() ^= 0x01;
  for (const Damage& damage : damages) {
    SCOPED_TRACE(damage.what);
    fs::remove(path);
    if (damage.what == std::string("a directory")) fs::create_directory(path);
    if (damage.refusal != kNotFound && !fs::exists(path)) WriteFile(path, damage.image);
    // A second holder keeps the mapping, so that its lock words stay readable.
    SegmentPtr<MemorySegment> holder(new MemorySegment);
    ASSERT_TRUE(holder->Open(Name().c_str(), storage::kSharedFileSize));
    holder->Unlock();

    SegmentPtr<FileSegment> segment(new FileSegment);
    const auto open = [&] { return segment->Open(Name().c_str(), path.string().c_str(), damage.refusal != kNotFound); };
    if (damage.refusal == kNotFound) {
      EXPECT_FALSE(open() || platform::GetLastError() != platform::kErrorFileNotFound);
    } else if (damage.refusal == kChecksum) {
      EXPECT_THROW(open(), storage::ChecksumException);
    } else {
      EXPECT_THROW(open(), storage::LoadHiveException);
    }
    EXPECT_EQ(segment->GetData(), nullptr);
    EXPECT_EQ(holder->HeaderRecord()->CreationLock().Owner(), 0u);
    EXPECT_EQ(holder->HeaderRecord()->CreationLock().Count(), 0u);
    storage::EventEx event((Name() + "EventInitialize").c_str());
    EXPECT_TRUE(event.Created());
    EXPECT_NE(platform::NamedMutex::Create(FileSegment::MutexName(Name().c_str()).c_str(), false), nullptr);
    EXPECT_EQ(platform::GetLastError(), platform::kErrorSuccess);
    segment.reset();
    EXPECT_TRUE(!fs::is_regular_file(path) || ReadFile(path) == damage.image);
    EXPECT_EQ(fs::exists(path), damage.refusal != kNotFound);
  }
}

// The test opens first and closes first; the helper opens second, waiting for
// the test's creation lock, from memory since the file is gone meanwhile, and
// closes last: it alone writes the file.
TEST_F(HiveTest, AnotherProcessWaitsForTheCreationLockAndTheLastCloserWritesTheFile) {
  const fs::path path = Path("segment.dm2");
  SegmentPtr<FileSegment> segment(new FileSegment);
  ASSERT_TRUE(segment->Open(Name("writer").c_str(), path.string().c_str(), true));
  std::memset(segment->GetData(), 0x22, kPayloadSize);
  segment->Unlock();
  segment.reset(new FileSegment);
  ASSERT_TRUE(segment->Open(Name().c_str(), path.string().c_str(), false));
  auto* payload = static_cast<volatile uint8_t*>(segment->GetData());
  payload[0] = kTestMark;
  fs::remove(path);

  HelperProcess helper({"segment-file-join", Name(), path.string(), Path("ready").string(), Path("go").string()});
  ASSERT_TRUE(WaitForFile(Path("ready")));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  EXPECT_TRUE(helper.Running());
  EXPECT_NE(static_cast<int>(payload[1]), kHelperMark) << "the helper went past the creation lock";
  segment->Unlock();
  ASSERT_TRUE(WaitUntil([&] { return payload[1] == kHelperMark || !helper.Running(); }));
  segment.reset();
  EXPECT_FALSE(fs::exists(path)) << "the first closer wrote the file";
  TouchFile(Path("go"));
  EXPECT_EQ(helper.Wait(), 0);
  const std::vector<uint8_t> image = ReadFile(path);
  ASSERT_EQ(image.size(), storage::kSharedFileSize);
  EXPECT_EQ(image[64], kTestMark);
  EXPECT_EQ(image[65], kHelperMark);
  EXPECT_EQ(std::count(image.begin() + 66, image.end(), 0x22), kPayloadSize - 2);
}

TEST_F(HiveTest, AProcessKilledWhileSavingLeavesALoadableFile) {
  const fs::path path = Path("segment.dm2");
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    HelperProcess helper({"segment-save-loop", Name(), path.string()});
    ASSERT_TRUE(WaitForFile(path));
    std::this_thread::sleep_for(std::chrono::milliseconds(20 + 15 * round));
    ASSERT_TRUE(helper.Running()) << "the save loop stopped with " << helper.Wait();
    helper.Kill();

    SegmentPtr<FileSegment> segment(new FileSegment);
    bool opened = false;
    ASSERT_NO_THROW(opened = segment->Open(Name().c_str(), path.string().c_str(), false));
    ASSERT_TRUE(opened);
    segment->Unlock();
    const auto* payload = static_cast<const uint8_t*>(segment->GetData());
    EXPECT_NE(payload[0], 0) << "no generation was saved";
    EXPECT_EQ(std::count(payload, payload + kPayloadSize, payload[0]), kPayloadSize);
  }
}

// ---- One hive's allocator --------------------------------------------------------

// A hive area on the heap. reportedSize, when given, is what it claims to hold.
class HeapSegment : public storage::SharedRegion {
 public:
  explicit HeapSegment(uint32_t size, uint32_t reportedSize = 0)
      : words_(size / 4), size_(reportedSize != 0 ? reportedSize : size) {}
  void Unlock() override {}
  void* GetData() override { return words_.data(); }
  uint32_t GetDataSize() override { return size_; }
  void Release() override {}
  void Close() override {}
  uint8_t* Bytes() { return reinterpret_cast<uint8_t*>(words_.data()); }
  std::vector<uint8_t> Snapshot() { return {Bytes(), Bytes() + words_.size() * 4}; }
  bool Filled(uint32_t offset, uint32_t length, uint8_t value) {
    return std::all_of(Bytes() + offset, Bytes() + offset + length, [&](uint8_t byte) { return byte == value; });
  }

 private:
  std::vector<uint32_t> words_;
  uint32_t size_;
};

// A fresh area (zeros or the fill) is formatted; one whose version or block
// counters cannot be right is refused and left as it was.
TEST(HiveAllocatorTest, AttachFormatsFreshAreasAndRefusesDamagedOnesUntouched) {
  struct Case {
    uint8_t fill;
    std::vector<uint32_t> words;  // version, carved bytes, descriptors
  };
  // Then: more descriptors than fit, more carved than there is, a carve of no
  // whole words, a table that overlaps the blocks.
  const Case cases[] = {{0x00, {}}, {0xCC, {}}, {0x5A, {0x00010002}}, {0xCC, {0x00010001, 0, 17}},
                        {0xCC, {0x00010001, 260, 0}}, {0xCC, {0x00010001, 6, 0}}, {0xCC, {0x00010001, 200, 3}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.words));
    HeapSegment segment(256);
    std::memset(segment.Bytes(), c.fill, 256);
    if (!c.words.empty()) std::memcpy(segment.Bytes(), c.words.data(), 4 * c.words.size());
    const std::vector<uint8_t> before = segment.Snapshot();
    PageMemoryManager manager;
    if (c.words.empty()) {
      manager.Attach(&segment);
      EXPECT_EQ(manager.Allocate(4), 252u);
      manager.Detach();
      continue;
    }
    EXPECT_ANY_THROW(manager.Attach(&segment));
    EXPECT_EQ(segment.Snapshot(), before);
    EXPECT_THROW(manager.Detach(), storage::AssertException);
  }
  HeapSegment huge(64, PageMemoryManager::kMaxHiveSize);  // only its size is read
  PageMemoryManager manager;
  EXPECT_THROW(manager.Attach(&huge), storage::AssertException);
  EXPECT_TRUE(huge.Filled(0, 64, 0));
  EXPECT_THROW(manager.Detach(), storage::AssertException);
}

// Generated runs of allocations and releases, against a model of the blocks
// in use: blocks lie inside the area and apart, come filled with 0xCC, keep
// their bytes, go with 0xDD, and are reused only at their own size; the walks
// report exactly the blocks in use; what is not in use cannot be released.
TEST(HiveAllocatorTest, GeneratedRunsKeepBlocksApartIntactAndWalked) {
  constexpr uint32_t kSize = 2048;
  for (uint32_t seed = 1; seed <= 20; ++seed) {
    SCOPED_TRACE(seed);
    HeapSegment segment(kSize);
    PageMemoryManager manager;
    manager.Attach(&segment);
    std::mt19937 random(seed);
    std::map<uint32_t, uint32_t> live;   // offset -> size asked for (0 counts as 1)
    std::map<uint32_t, uint32_t> freed;  // offset -> rounded size
    const auto rounded = [](uint32_t size) { return (size + 3) & ~3u; };
    for (int step = 0; step < 300; ++step) {
      if (random() % 3 != 0 || live.empty()) {
        const uint32_t size = random() % 65;
        const uint32_t offset = manager.Allocate(size);
        if (offset == kNull) continue;
        const uint32_t length = rounded(std::max(size, 1u));
        ASSERT_LE(offset + length, kSize);
        EXPECT_TRUE(freed.count(offset) == 0 || freed[offset] == length) << "a free block of another size";
        for (auto [other, otherSize] : live) ASSERT_TRUE(offset >= other + otherSize || offset + length <= other);
        EXPECT_TRUE(segment.Filled(offset, length, 0xCC));
        std::memset(manager.GetPoint(offset), static_cast<int>(offset & 0xFF), length);
        live[offset] = std::max(size, 1u);
        freed.erase(offset);
        continue;
      }
      auto victim = std::next(live.begin(), random() % live.size());
      const uint32_t length = rounded(victim->second);
      EXPECT_TRUE(segment.Filled(victim->first, length, victim->first & 0xFF)) << "a block changed";
      manager.Release(victim->first);
      EXPECT_TRUE(segment.Filled(victim->first, length, 0xDD));
      freed[victim->first] = length;
      const std::vector<uint8_t> before = segment.Snapshot();
      for (uint32_t wrong : {victim->first, live.rbegin()->first + 4, 0u}) {
        EXPECT_THROW(manager.Release(wrong), storage::BadAllocException) << wrong;
      }
      EXPECT_EQ(segment.Snapshot(), before);
      live.erase(victim);
    }
    Blocks forward = Walk(manager, false);
    Blocks backward = Walk(manager, true);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(forward, backward);
    std::sort(forward.begin(), forward.end());
    EXPECT_EQ(forward, Blocks(live.begin(), live.end()));
    for (bool reverse : {false, true}) {
      bool completed = true;
      EXPECT_EQ(Walk(manager, reverse, 1, &completed).size(), (std::min<size_t>(1, live.size())));
      EXPECT_EQ(completed, live.empty());
    }
    EXPECT_NO_THROW(manager.GetPoint(kSize - 1));
    EXPECT_THROW(manager.GetPoint(kSize), storage::InternalStructureException);
    EXPECT_EQ(manager.Allocate(kSize), kNull);
    manager.Detach();
  }
}

TEST_F(HiveTest, FourProcessesOfTwoThreadsShareOneHive) {
  const std::string size = std::to_string(64 + 2048);  // too small for all they hold: blocks are reused
  SegmentPtr<MemorySegment> segment(new MemorySegment);
  ASSERT_TRUE(segment->Open(Name().c_str(), std::stoul(size)));
  PageMemoryManager manager;
  manager.Attach(segment.get());
  segment->Unlock();
  std::vector<std::unique_ptr<HelperProcess>> helpers;
  for (uint32_t p = 0; p < 4; ++p) {
    helpers.push_back(std::make_unique<HelperProcess>(
        std::vector<std::string>{"pmm-churn", Name(), size, "20000", std::to_string(1 + 2 * p)}));
  }
  for (auto& helper : helpers) EXPECT_EQ(helper->Wait(), 0);
  EXPECT_TRUE(Walk(manager, false).empty());  // everything was given back
  manager.Detach();
}

// ---- The page manager -------------------------------------------------------------

// The golden image pins the hive files' layout: head, block table, checksums
// and the hash chain. SHM_REGENERATE_GOLDEN=1 writes it anew, for a deliberate
// change of the format only. The files then load back into the same blocks.
TEST_F(HiveTest, HiveFilesMatchTheGoldenImageAndLoadBack) {
  Blocks written;
  {
    PageManager manager;
    Start(manager, true);
    for (uint32_t size : {0u, 5u, 24u, 100u, kAll}) {
      const InitMemAddress address = manager.Allocate(size);
      Stamp(manager.GetPoint(address), std::clamp(size, 1u, 64u), address.Value());
      written.emplace_back(address.Value(), std::max(size, 1u));
    }
    manager.Release(InitMemAddress(written[1].first));
    written.erase(written.begin() + 1);
  }
  std::string dump;
  for (const char* file : {"hive000d.dm2", "hive001d.dm2"}) {
    const std::vector<uint8_t> image = ReadFile(Path(file));
    ASSERT_EQ(image.size(), PageManager::kHiveSize);
    std::string previous;
    for (size_t row = 0; row < image.size(); row += 32) {  // as hexdump does, equal rows squeezed
      std::string hex;
      char text[24];
      for (size_t i = row; i < row + 32; ++i) hex += (std::snprintf(text, sizeof text, "%02x", image[i]), text);
      if (hex == previous && dump.ends_with("*\n")) continue;
      std::snprintf(text, sizeof text, "%07zx ", row);
      dump += hex == previous ? "*\n" : file + std::string(" ") + text + hex + "\n";
      previous = hex;
    }
  }
  const std::string golden = std::string(SHM_GOLDEN_DIR) + "/hive.txt";
  if (std::getenv("SHM_REGENERATE_GOLDEN") != nullptr) std::ofstream(golden) << dump;
  std::ifstream goldenFile(golden);
  EXPECT_EQ(dump, std::string(std::istreambuf_iterator<char>(goldenFile), std::istreambuf_iterator<char>()));

  PageManager reopened;
  Start(reopened, true);
  EXPECT_EQ(Walk(reopened, false), written);
  for (auto [address, size] : written) {
    EXPECT_TRUE(HasStamp(reopened.GetPoint(InitMemAddress(address)), std::min(size, 64), address));
  }
}

TEST_F(HiveTest, TheChainGrowsOnlyWhenNoHiveHasRoomAndOtherManagersFollowIt) {
  PageManager first;
  Start(first);
  PageManager second;  // stands in for another process: it has loaded the first hive only
  Start(second);
  std::vector<InitMemAddress> blocks;
  for (int hive = 1; hive <= 3; ++hive) {
    blocks.push_back(first.Allocate(kAll));  // fills a hive next to its head
    EXPECT_EQ(blocks.back().HiveNumber(), hive);
  }
  Stamp(first.GetPoint(blocks[1]), 64, 2);
  EXPECT_TRUE(HasStamp(second.GetPoint(blocks[1]), 64, 2));
  second.Release(blocks[2]);
  EXPECT_EQ(Walk(first, false), (Blocks{{blocks[0].Value(), kAll}, {blocks[1].Value(), kAll}}));
  EXPECT_EQ(second.Allocate(kAll), blocks[2]);  // room in a hive another manager made comes first
  const InitMemAddress small = second.Allocate(8);
  EXPECT_EQ(small.HiveNumber(), 4);
  EXPECT_EQ(Walk(second, true).front().first, small.Value());  // the reverse walk starts at the last hive
  EXPECT_THROW(first.Release(InitMemAddress(1, 1048448)), storage::BadAllocException);  // the head
  EXPECT_EQ(first.TryGetPoint(small, 8), first.GetPoint(small));
  for (uint32_t outside : {0x0C000010u, 0x00000010u, 0xFF000010u, 0x01100000u, small.Value() + 1}) {
    EXPECT_EQ(first.TryGetPoint(InitMemAddress(outside), 8), nullptr) << outside;
  }
}

// Memory-only hives carry the layout version of the records kept there: a
// manager of another layout is refused with a clear message, nothing held.
TEST_F(HiveTest, AnotherMemoryLayoutIsRefused) {
  PageManager first;
  Start(first);
  std::atomic_ref<uint32_t> layout(static_cast<uint32_t*>(first.GetPoint(InitMemAddress(1, 1048448)))[4]);
  EXPECT_EQ(layout.load(), PageManager::kMemoryLayoutVersion);
  layout.store(PageManager::kMemoryLayoutVersion + 1);
  try {
    PageManager other;
    Start(other);
    ADD_FAILURE() << "a session of another layout was attached";
  } catch (const storage::TechnicalException& refused) {
    EXPECT_NE(std::string(refused.what()).find("memory layout 4, this library in layout 3"), std::string::npos)
        << refused.what();
  }
  layout.store(PageManager::kMemoryLayoutVersion);
  PageManager again;
  Start(again);
}

TEST_F(HiveTest, RefusesWhatFitsNoHiveAndNamesThatDoNotFit) {
  PageManager manager;
  Start(manager);
  for (uint32_t size : {kAll + 1, 0xFFFFFFFFu}) EXPECT_THROW(manager.Allocate(size), storage::BadAllocException);
  EXPECT_FALSE(SegmentExists("001d"));  // no hive was made for them
  InitMemAddress last;
  for (int hive = 1; hive <= 127; ++hive) last = manager.Allocate(600000);  // one such block per hive
  ASSERT_EQ(last.HiveNumber(), 127);
  EXPECT_THROW(manager.Allocate(600000), storage::BadAllocException);
  manager.Release(last);
  EXPECT_EQ(manager.Allocate(600000), last);

  // A hive file name adds "000d.dm2" and must fit 256 bytes with its end.
  for (auto [name, path] : {std::pair{Name("n"), fs::temp_directory_path().string() + std::string(248, 'p')},
                            {Name() + std::string(252 - Name().size(), 'n'), std::string()}}) {
    PageManager refused;
    EXPECT_THROW(StartPageManager(refused, name, path.substr(0, 248)), storage::AssertException);
    EXPECT_EQ(platform::NamedMapping::Open((name + "000d").c_str()), nullptr);
  }
}

TEST_F(HiveTest, ThreadsAndStartsThatGrowOneStorageAtOnceAppendEachHiveOnce) {
  struct Target {
    void OnMemManagerInitialized() {
      if (inside->fetch_add(1) != 0) overlaps->fetch_add(1);
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      inside->fetch_sub(1);
    }
    std::atomic<int>* inside;
    std::atomic<int>* overlaps;
  };
  std::atomic<int> inside{0}, overlaps{0};
  PageManager managers[3];
  {
    std::vector<std::jthread> starts;  // threads stand in for processes: the creation lock is per thread
    for (PageManager& manager : managers) {
      starts.emplace_back([&] {
        Target target{&inside, &overlaps};
        storage::MemoryConfigurator<Target> configurator(&target, Name().c_str(), "");
        manager.Initialize(&configurator);
      });
    }
  }
  EXPECT_EQ(overlaps.load(), 0) << "two starts of one storage ran at once";
  std::vector<InitMemAddress> addresses(4);
  {
    std::vector<std::jthread> threads;
    for (InitMemAddress& address : addresses) threads.emplace_back([&] { address = managers[0].Allocate(600000); });
  }
  std::set<int> hives;
  for (const InitMemAddress& address : addresses) hives.insert(address.HiveNumber());
  EXPECT_EQ(hives, (std::set<int>{1, 2, 3, 4}));
  EXPECT_FALSE(SegmentExists("004d"));
  PageManager late;
  Start(late);
  EXPECT_EQ(Walk(late, false), Walk(managers[0], false));
}

// Addresses come from links in shared memory: one that names no hive means the
// storage is damaged, and it is marked so for every later start.
TEST_F(HiveTest, AnAddressThatNamesNoHiveMarksTheStorageDead) {
  for (auto [address, release] : {std::pair{0x0C000010u, false}, {0x80000010u, true}}) {
    SCOPED_TRACE(address);
    PageManager manager;
    Start(manager);
    EXPECT_EQ(Signature(manager, 1), "hivehead");  // memory-only hives end with their last user
    manager.Allocate(kAll);
    manager.Allocate(kAll);
    if (release) {
      EXPECT_THROW(manager.Release(InitMemAddress(address)), storage::InternalStructureException);
    } else {
      EXPECT_THROW(manager.GetPoint(InitMemAddress(address)), storage::InternalStructureException);
    }
    EXPECT_EQ(Signature(manager, 1), "deadhive");
    EXPECT_EQ(Signature(manager, 2), "hivehead");
    PageManager next;
    EXPECT_THROW(Start(next), storage::InternalStructureException);
  }
  {
    PageManager saved;
    Start(saved, true);
    EXPECT_THROW(saved.GetPoint(InitMemAddress(0x0C000010u)), storage::InternalStructureException);
  }
  PageManager reloaded;
  EXPECT_THROW(Start(reloaded, true), storage::InternalStructureException);
}

TEST_F(HiveTest, DamagedOrMissingHiveFilesAreRefused) {
  InitMemAddress second;
  {
    PageManager manager;
    Start(manager, true);
    manager.Allocate(600000);
    second = manager.Allocate(600000);
    Stamp(manager.GetPoint(second), 4096, 0x22);
  }
  const std::vector<uint8_t> first = ReadFile(Path("hive000d.dm2"));
  const std::vector<uint8_t> next = ReadFile(Path("hive001d.dm2"));
  ASSERT_EQ(next.size(), PageManager::kHiveSize);
  const auto refused = [&](std::vector<uint8_t> firstImage, std::vector<uint8_t> nextImage, auto check) {
    WriteFile(Path("hive000d.dm2"), firstImage);
    fs::remove(Path("hive001d.dm2"));
    if (!nextImage.empty()) WriteFile(Path("hive001d.dm2"), nextImage);
    PageManager manager;
    check([&] { Start(manager, true); });
  };
  const auto checksum = [](auto start) { EXPECT_THROW(start(), storage::ChecksumException); };
  std::vector<uint8_t> flipped = next;
  flipped[64 + 1000] ^= 0x01;
  refused(first, flipped, checksum);
  // Each file is sound on its own, but the second is not the one that the first hive's head describes.
  std::vector<uint8_t> replaced = next;
  replaced[64 + 1000] ^= 0x01;
  const uint32_t sum = storage::hash::HashHelper<0>().Compute(replaced.data() + 64, replaced.size() - 64);
  std::memcpy(replaced.data() + 8, &sum, 4);
  refused(first, replaced, checksum);
  refused(first, {}, [](auto start) { EXPECT_THROW(start(), storage::InternalStructureException); });

  // The untouched pair loads; a hive that another holder changed is taken live, not checked against the chain.
  WriteFile(Path("hive001d.dm2"), next);
  PageManager manager;
  Start(manager, true);
  EXPECT_TRUE(HasStamp(manager.GetPoint(second), 4096, 0x22));
  Stamp(manager.GetPoint(second), 4096, 0x33);
  PageManager other;
  Start(other, true);
  EXPECT_TRUE(HasStamp(other.GetPoint(second), 4096, 0x33));
}

TEST_F(HiveTest, FourProcessesChurnBlocksWhileTheChainGrows) {
  // File-backed, so that the hives the helpers made outlive them: the last
  // helper to close each one saves it.
  PageManager manager;
  Start(manager, true);
  std::vector<std::unique_ptr<HelperProcess>> helpers;
  for (int p = 0; p < 4; ++p) {
    helpers.push_back(std::make_unique<HelperProcess>(
        std::vector<std::string>{"pm-churn", Name(), Path("hive").string(), "2000", std::to_string(1 + 2 * p)}));
  }
  for (auto& helper : helpers) EXPECT_EQ(helper->Wait(), 0);
  // The chain has grown past two hives: this process loads them, checked
  // against the hash chain, when it meets an address in the third.
  EXPECT_EQ(Signature(manager, 3), "hivehead");
  EXPECT_EQ(Signature(manager, 1), "hivehead");
  EXPECT_TRUE(Walk(manager, false).empty());  // every block went back
}

}  // namespace
}  // namespace settingstore::test
