#include "shm/PageManager.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "base/Exceptions.h"
#include "base/HashHelper.h"
#include "base/Logger.h"
#include "platform/Platform.h"
#include "shm/HiveSaveBatch.h"
#include "shm/MemoryConfigurator.h"
#include "shm/Messages.h"
#include "shm/SharedMemory.h"

namespace storage {

namespace {

constexpr const char* kSourceFile = messages::shm::kPageManagerFile;

using MemorySegment = SharedMemoryBase<SharedHeader>;
using FileSegment = SharedFileBase<SharedHeader, hash::HashHelper<0>>;

// Names are formed into buffers of this size, terminator included.
constexpr size_t kNameBufferSize = 256;
// What a hive's index adds to the prefixes: "000d" and "000d.dm2".
constexpr size_t kSegmentSuffixLength = 4;
constexpr size_t kFileSuffixLength = 8;

// The head block's 32-bit words.
// Memory-only hives also keep the layout version of the records their clients
// keep there: a process whose records differ must not attach (file-backed
// hives keep their stored head as it always was).
enum HeadWord : size_t { kSignatureFirst = 0, kSignatureSecond = 1, kHashWord = 2, kLastWord = 3, kLayoutWord = 4 };

std::atomic_ref<uint32_t> WordOfHead(const HivePointer& head, HeadWord word) {
  return std::atomic_ref<uint32_t>(static_cast<uint32_t*>(head.get())[word]);
}

// An eight-character signature as the two words it occupies in memory.
struct Signature {
  explicit Signature(const char (&text)[9]) {
    std::memcpy(&first, text, 4);
    std::memcpy(&second, text + 4, 4);
  }
  uint32_t first;
  uint32_t second;
};
const Signature kLiveSignature("hivehead");
const Signature kDeadSignature("deadhive");

bool HasSignature(const HivePointer& head, const Signature& signature) {
  return WordOfHead(head, kSignatureFirst).load() == signature.first &&
         WordOfHead(head, kSignatureSecond).load() == signature.second;
}

void WriteSignature(const HivePointer& head, const Signature& signature) {
  WordOfHead(head, kSignatureFirst).store(signature.first);
  WordOfHead(head, kSignatureSecond).store(signature.second);
}

uint32_t HashOf(SharedRegion* segment) {
  return hash::HashHelper<0>().Compute(segment->GetData(), segment->GetDataSize());
}

}  // namespace

// A hive between the opening of its segment and its place in the list, with
// the segment's creation lock held. Unless it is handed over, dropping it
// detaches the manager, unlocks and closes the segment. The lock is given up
// before the close: a file-backed close waits for the segment's named mutex,
// which another opener may hold while it waits for this very lock.
class PageManager::OpenedHive {
 public:
  explicit OpenedHive(SharedRegion* segment) : segment_(segment) {}
  OpenedHive(OpenedHive&& other) noexcept
      : segment_(std::exchange(other.segment_, nullptr)),
        hive_(std::move(other.hive_)),
        attached_(other.attached_) {}
  OpenedHive& operator=(OpenedHive&&) = delete;
  ~OpenedHive() {
    if (segment_ == nullptr) return;
    if (attached_) hive_->manager->Detach();
    segment_->Unlock();
    segment_->Release();
  }

  SharedRegion* Segment() const { return segment_; }
  Hive& HiveRecord() const { return *hive_; }
  std::unique_ptr<Hive>& Owner() { return hive_; }

  // Formats a fresh hive area or checks the version of an existing one.
  void Attach() {
    hive_ = std::make_unique<Hive>();
    hive_->manager = std::make_unique<PageMemoryManager>();
    hive_->manager->Attach(segment_);
    attached_ = true;
  }

  // The descriptor has been moved into the list: the segment stays open and
  // locked, and is returned.
  SharedRegion* HandOver() { return std::exchange(segment_, nullptr); }

 private:
  SharedRegion* segment_;
  std::unique_ptr<Hive> hive_;
  bool attached_ = false;
};

// Finds the head of a hive: the first block of exactly the head's size.
class PageManager::MemoryInitializeEnumerator : public PageMemoryManager::MemoryBlockVisitor {
 public:
  explicit MemoryInitializeEnumerator(PageMemoryManager& manager) : manager_(manager) {}

  bool MemoryBlock(const uint32_t& offset, int32_t size) override {
    seen_ = true;
    if (size != static_cast<int32_t>(kHeadSize)) return true;
    const HivePointer head(&manager_, offset);
    if (HasSignature(head, kLiveSignature)) {
      head_ = offset;
      return false;
    }
    constexpr const char* kFunction = messages::shm::kPageManagerMemoryBlock;
    if (HasSignature(head, kDeadSignature))
      throw InternalStructureException(kSourceFile, kFunction, __LINE__, nullptr);
    throw InternalStructureException(kSourceFile, kFunction, __LINE__, messages::shm::kUnexpectedHiveSignature);
  }

  bool Seen() const { return seen_; }
  uint32_t Head() const { return head_; }

 private:
  PageMemoryManager& manager_;
  bool seen_ = false;
  uint32_t head_ = PageMemoryManager::kNullOffset;
};

// Hands a hive's client blocks, as storage-wide addresses, to the client's
// enumerator; the head block stays hidden.
class PageManager::MemoryEnumeratorHive : public PageMemoryManager::MemoryBlockVisitor {
 public:
  MemoryEnumeratorHive(storage::MemoryBlockVisitor& client, uint32_t hiveNumber, uint32_t headOffset)
      : client_(client), hiveNumber_(hiveNumber), headOffset_(headOffset) {}

  bool MemoryBlock(const uint32_t& offset, int32_t size) override {
    if (offset == headOffset_) return true;
    return client_.MemoryBlock(InitMemAddress(static_cast<int>(hiveNumber_), static_cast<int>(offset)), size);
  }
  bool Wants(int32_t size) override { return client_.Wants(size); }

 private:
  storage::MemoryBlockVisitor& client_;
  uint32_t hiveNumber_;
  uint32_t headOffset_;
};

PageManager::~PageManager() { UnloadHives(); }

void PageManager::Initialize(PageManagerClient* configurator) {
  constexpr const char* kFunction = messages::shm::kPageManagerInitialize;
  STORAGE_ASSERT(configurator != nullptr, kSourceFile, kFunction, nullptr);
  STORAGE_ASSERT(hives_.Size() == 0, kSourceFile, kFunction, messages::shm::kAlreadyInitialized);
  namePrefix_ = configurator->Name();
  filePrefix_ = configurator->Path();
  CheckPrefixes();

  struct CreationUnlock {
    void operator()(SharedRegion* segment) const { segment->Unlock(); }
  };
  // The first hive stays locked through the set-up of the client.
  std::unique_ptr<SharedRegion, CreationUnlock> firstHive;
  try {
    firstHive.reset(LoadFirstHive());
    LoadNextHives();
  } catch (const BadAllocException& e) {
    throw InternalStructureException(kSourceFile, kFunction, __LINE__, e.what());
  }
  configurator->OnMemManagerInitialized();
}

// Both names must fit their buffers with the hive's index, or two hives would
// end up under one truncated name.
void PageManager::CheckPrefixes() const {
  constexpr const char* kFunction = messages::shm::kPageManagerInitialize;
  char message[1024];
  std::snprintf(message, sizeof message, messages::shm::kMaximumFilenameSize, static_cast<int>(kNameBufferSize));
  STORAGE_ASSERT(filePrefix_.size() + kFileSuffixLength < kNameBufferSize, kSourceFile, kFunction, message);
  std::snprintf(message, sizeof message, messages::shm::kMaximumSegmentNameSize,
                static_cast<int>(kNameBufferSize));
  STORAGE_ASSERT(namePrefix_.size() + kSegmentSuffixLength < kNameBufferSize, kSourceFile, kFunction,
                 message);
}

std::string PageManager::SegmentName(uint32_t index) const {
  char name[kNameBufferSize];
  std::snprintf(name, sizeof name, "%s%03ud", namePrefix_.c_str(), index);
  return name;
}

PageManager::OpenedHive PageManager::GetNextHive(bool create) {
  const uint32_t index = hives_.Size();
  // Hive numbers are read back as signed bytes: a 128th hive could not be addressed.
  if (index >= kMaxHives) throw BadAllocException(messages::shm::kNoMemoryForNextHive);

  const std::string name = SegmentName(index);
  char fileName[kNameBufferSize] = "";
  const bool fileBacked = !filePrefix_.empty();
  if (fileBacked) std::snprintf(fileName, sizeof fileName, "%s%03ud.dm2", filePrefix_.c_str(), index);
  logger::Info(messages::shm::kNewHiveRequested, static_cast<int>(index),
               fileBacked ? fileName : name.c_str());

  SharedRegion* segment = nullptr;
  bool loadedFromFile = false;
  for (;;) {
    platform::SetLastError(platform::kErrorSuccess);
    if (fileBacked) {
      auto file = std::make_unique<FileSegment>();
      if (file->Open(name.c_str(), fileName, create)) {
        loadedFromFile = file->LoadedFromFile();
        if (index == 0) firstHiveLoadedFromFile_ = loadedFromFile;
        segment = file.release();
        break;
      }
    } else {
      auto memory = std::make_unique<MemorySegment>();
      if (memory->Open(name.c_str(), kHiveSize)) {
        segment = memory.release();
        break;
      }
    }
    const uint32_t error = platform::GetLastError();
    // Another process is creating or tearing the segment down right now.
    if (error == platform::kErrorSharingViolation) {
      platform::SleepMs(1);
      continue;
    }
    logger::Error(messages::shm::kSharedMemoryNotCreated, error);
    if (error == platform::kErrorFileNotFound) {
      throw InternalStructureException(kSourceFile, messages::shm::kPageManagerGetNextHive, __LINE__,
                                       messages::shm::kNextHiveNotFound);
    }
    if (error == platform::kErrorNotEnoughMemory)
      throw BadAllocException(messages::shm::kNoMemoryForNextHive);
    throw ExternalException(static_cast<int>(error));
  }

  OpenedHive opened(segment);
  // Only an image read from its file now can disagree with the chain; a hive
  // that other processes hold live has changed since its hash was written.
  if (index > 0 && !create && loadedFromFile) Validate(segment);
  opened.Attach();
  if (fileBacked) opened.HiveRecord().file = segment;
  return opened;
}

void PageManager::Validate(SharedRegion* segment) {
  STORAGE_ASSERT(segment != nullptr, kSourceFile, messages::shm::kPageManagerValidate, nullptr);
  logger::Info(messages::shm::kValidateHives);
  const uint32_t expected = WordOfHead(HiveAt(hives_.Size() - 1).head, kHashWord).load();
  // The load has checked the image against the checksum it carries: hashing
  // the whole hive again would only find that value once more.
  const uint32_t loaded = static_cast<FileSegment*>(segment)->HeaderRecord()->Checksum();
  if (loaded != expected) throw ChecksumException();
}

void PageManager::InitializeHive(Hive& hive) {
  PageMemoryManager& manager = *hive.manager;
  MemoryInitializeEnumerator walker(manager);
  manager.Enumerate(walker, false);
  if (walker.Seen()) {
    STORAGE_ASSERT(walker.Head() != PageMemoryManager::kNullOffset, kSourceFile,
                   messages::shm::kPageManagerInitializeHive, nullptr);
    hive.head = HivePointer(&manager, walker.Head());
    const uint32_t layout = WordOfHead(hive.head, kLayoutWord).load();
    if (filePrefix_.empty() && layout != kMemoryLayoutVersion) {
      throw TechnicalException(messages::shm::OtherMemoryLayout(namePrefix_, layout, kMemoryLayoutVersion));
    }
    return;
  }

  uint32_t offset;
  try {
    offset = manager.Allocate(kHeadSize);
  } catch (const BadAllocException&) {
    throw std::runtime_error(messages::shm::kSizeTooSmall);
  }
  STORAGE_ASSERT(offset != PageMemoryManager::kNullOffset, kSourceFile, messages::shm::kPageManagerInitializeHive,
                 nullptr);
  hive.head = HivePointer(&manager, offset);
  WordOfHead(hive.head, kLastWord).store(1);
  if (filePrefix_.empty()) WordOfHead(hive.head, kLayoutWord).store(kMemoryLayoutVersion);
  // The chain grows only under the new hive's creation lock; other processes
  // learn of the new hive from this flag.
  if (hives_.Size() > 0) WordOfHead(this->HiveAt(hives_.Size() - 1).head, kLastWord).store(0);
  WriteSignature(hive.head, kLiveSignature);
}

SharedRegion* PageManager::AppendNextHive(bool create) {
  OpenedHive opened = GetNextHive(create);
  InitializeHive(opened.HiveRecord());

  const uint32_t index = hives_.Size();
  HiveView& view = views_[index];
  view.size = opened.Segment()->GetDataSize();
  view.data.store(static_cast<std::byte*>(opened.Segment()->GetData()), std::memory_order_release);
  view.hive.store(&opened.HiveRecord(), std::memory_order_release);
  try {
    hives_.PushBack(std::move(opened.Owner()));
  } catch (...) {
    view.hive.store(nullptr);
    view.data.store(nullptr);
    throw;
  }
  return opened.HandOver();
}

SharedRegion* PageManager::LoadFirstHive() { return AppendNextHive(true); }

void PageManager::LoadNextHives() {
  std::lock_guard<std::mutex> lock(growth_);
  while (hives_.Size() > 0 && !LastIsLast()) AppendNextHive(false)->Unlock();
}

void PageManager::Grow(uint32_t loaded) {
  std::lock_guard<std::mutex> lock(growth_);
  if (hives_.Size() != loaded) return;
  // A hive that another process has chained already is loaded, and checked
  // when it comes from its file, rather than made.
  AppendNextHive(LastIsLast())->Unlock();
}

bool PageManager::LastIsLast() const {
  return WordOfHead(HiveAt(hives_.Size() - 1).head, kLastWord).load() != 0;
}

InitMemAddress PageManager::Allocate(uint32_t size) {
  // Larger blocks fit no hive, and new hives would be made without end.
  if (size > kMaxAllocation) throw BadAllocException(messages::shm::kRequestedSizeTooBig);
  STORAGE_ASSERT(hives_.Size() > 0, kSourceFile, messages::shm::kPageManagerAllocate, nullptr);
  // Blocks are taken to be written: whoever takes one changes the hives.
  MarkChanged();
  // Full hives are passed over from where this size last found room; those
  // below are searched again before the chain grows, for what other
  // processes freed there meanwhile.
  std::atomic<uint32_t>& hint = firstRoomHints_[HintSlot(size)];
  const uint32_t start = hint.load(std::memory_order_relaxed);
  uint32_t tried = start;
  bool searchedBelow = start == 0;
  for (;;) {
    const uint32_t loaded = hives_.Size();
    for (; tried < loaded; ++tried) {
      const InitMemAddress address = AllocateInHive(tried + 1, size);
      if (address.IsNull()) continue;
      if (tried != start) hint.store(tried, std::memory_order_relaxed);
      return address;
    }
    for (uint32_t below = 0; !searchedBelow && below < std::min(start, loaded); ++below) {
      const InitMemAddress address = AllocateInHive(below + 1, size);
      if (address.IsNull()) continue;
      hint.store(below, std::memory_order_relaxed);
      return address;
    }
    searchedBelow = true;
    Grow(loaded);
  }
}

size_t PageManager::HintSlot(uint32_t size) {
  static constexpr uint32_t kLimits[kHintSlots - 1] = {12, 16, 24, 32, 64, 128, 256};
  return static_cast<size_t>(std::lower_bound(std::begin(kLimits), std::end(kLimits), size) - std::begin(kLimits));
}

InitMemAddress PageManager::AllocateInHive(uint32_t hiveNumber, uint32_t size) {
  PageMemoryManager& manager = *HiveAt(hiveNumber - 1).manager;
  const uint32_t offset = manager.Allocate(size);
  if (offset == PageMemoryManager::kNullOffset) return InitMemAddress();
  if (offset >= kHiveSize) {
    manager.Release(offset);
    throw std::logic_error(messages::shm::kHiveTooBig);
  }
  return InitMemAddress(static_cast<int>(hiveNumber), static_cast<int>(offset));
}

bool PageManager::EnsureLoaded(int hiveNumber) {
  // A negative number (top bit set) names no hive either.
  const auto missing = [&] { return hiveNumber < 0 || static_cast<uint32_t>(hiveNumber) > hives_.Size(); };
  if (!missing()) return true;
  LoadNextHives();
  if (!missing()) return true;
  MarkDead();
  return false;
}

void* PageManager::GetPointSlow(const InitMemAddress& address) {
  constexpr const char* kFunction = messages::shm::kPageManagerGetPoint;
  const int hiveNumber = address.HiveNumber();
  if (hiveNumber == 0) {
    MarkDead();
    throw InternalStructureException(kSourceFile, kFunction, __LINE__, nullptr);
  }
  if (!EnsureLoaded(hiveNumber)) throw InternalStructureException(kSourceFile, kFunction, __LINE__, nullptr);
  return HiveAt(static_cast<uint32_t>(hiveNumber - 1))
      .manager->GetPoint(static_cast<uint32_t>(address.Offset()));
}

void* PageManager::TryGetPoint(const InitMemAddress& address, uint32_t size) {
  const int hiveNumber = address.HiveNumber();
  if (address.IsNull() || hiveNumber < 1 || static_cast<uint32_t>(hiveNumber) > kMaxHives) return nullptr;
  if (static_cast<uint32_t>(hiveNumber) > hives_.Size()) LoadNextHives();
  if (static_cast<uint32_t>(hiveNumber) > hives_.Size()) return nullptr;
  const HiveView& view = views_[static_cast<uint32_t>(hiveNumber - 1)];
  std::byte* data = view.data.load(std::memory_order_acquire);
  const auto offset = static_cast<uint32_t>(address.Offset());
  if (data == nullptr || offset % 4 != 0 || offset > view.size || size > view.size - offset) return nullptr;
  return data + offset;
}

void PageManager::Release(const InitMemAddress& address) {
  if (address.IsNull()) return;
  const int hiveNumber = address.HiveNumber();
  if (!EnsureLoaded(hiveNumber)) {
    throw InternalStructureException(kSourceFile, messages::shm::kPageManagerRelease, __LINE__, nullptr);
  }
  const Hive& target = *hives_.At(static_cast<uint32_t>(hiveNumber - 1));
  const uint32_t offset = static_cast<uint32_t>(address.Offset());
  // The head is no client's block; freeing it would make the hive unloadable.
  if (offset == target.head.Offset()) throw BadAllocException(messages::shm::kReleasedBlockNotFound);
  MarkChanged();
  target.manager->Release(offset);
  // The hive has room again, for any size.
  const auto hive = static_cast<uint32_t>(hiveNumber - 1);
  for (std::atomic<uint32_t>& hint : firstRoomHints_) {
    uint32_t start = hint.load(std::memory_order_relaxed);
    while (start > hive && !hint.compare_exchange_weak(start, hive, std::memory_order_relaxed)) {
    }
  }
}

int32_t PageManager::BlockSize(const InitMemAddress& address) {
  // Not ensureLoaded: an address that names no hive is an answer here, not
  // a storage to give up.
  const int hiveNumber = address.HiveNumber();
  if (address.IsNull() || hiveNumber < 1 || static_cast<uint32_t>(hiveNumber) > hives_.Size()) return -1;
  const Hive& target = *hives_.At(static_cast<uint32_t>(hiveNumber - 1));
  const auto offset = static_cast<uint32_t>(address.Offset());
  return offset == target.head.Offset() ? -1 : target.manager->BlockSize(offset);
}

bool PageManager::Enumerate(MemoryBlockVisitor& enumerator, bool reverse) {
  const uint32_t count = hives_.Size();
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t index = reverse ? count - 1 - i : i;
    const Hive& current = HiveAt(index);
    MemoryEnumeratorHive walker(enumerator, index + 1, current.head.Offset());
    if (!current.manager->Enumerate(walker, reverse)) return false;
  }
  return true;
}

bool PageManager::EnumerateSince(MemoryBlockVisitor& enumerator, std::vector<int32_t>& marks,
                                 uint32_t largestBlock) {
  const uint32_t count = hives_.Size();
  marks.resize(count, 0);
  for (uint32_t index = 0; index < count; ++index) {
    const Hive& current = HiveAt(index);
    PageMemoryManager& manager = *current.manager;
    const int32_t first = manager.CanCarve(largestBlock) ? marks[index] : 0;
    // Counted before the walk: what is carved during it is met next time.
    const int32_t counted = manager.DescriptorCount();
    MemoryEnumeratorHive walker(enumerator, index + 1, current.head.Offset());
    if (!manager.EnumerateFrom(walker, first)) return false;
    marks[index] = counted;
  }
  return true;
}

void PageManager::MarkDead() {
  if (hives_.Size() == 0) return;
  WriteSignature(HiveAt(0).head, kDeadSignature);
  // Saved, so that the next session refuses the storage too.
  MarkChanged();
}

void PageManager::MarkChanged() {
  const Hive* first = views_[0].hive.load(std::memory_order_acquire);
  if (first != nullptr && first->file != nullptr)
    static_cast<FileSegment*>(first->file)->HeaderRecord()->MarkChanged();
}

bool PageManager::AnyHiveChanged() const {
  for (uint32_t index = 0; index < hives_.Size(); ++index) {
    const Hive& current = HiveAt(index);
    if (current.file != nullptr && static_cast<FileSegment*>(current.file)->HeaderRecord()->Changed())
      return true;
  }
  return false;
}

// Downwards, so that each hive's hash covers the word already stored in its
// own head for the hive after it: the words form a chain from the first hive.
// The files saved here replace their previous save together or not at all,
// so that a crash halfway never leaves a chain that refuses to load.
void PageManager::UnloadHives() {
  if (hives_.Size() == 0) return;
  logger::Info(messages::shm::kUnloadHives);
  HiveSaveBatch batch;
  const FileMutexes held = LockFilesUpwards();
  // Read with the files' mutexes held, so that no process joins meanwhile; a
  // process still in keeps the hives open and decides when it leaves. The
  // hives are saved together or not at all.
  const bool changed = AnyHiveChanged();
  if (!changed && !filePrefix_.empty()) logger::Info(messages::shm::kUnloadHivesUnchanged);
  for (uint32_t index = hives_.Size(); index-- > 0;) {
    Hive& current = HiveAt(index);
    views_[index].hive.store(nullptr);
    views_[index].data.store(nullptr);
    SharedRegion* segment = current.manager->Detach();
    if (index > 0) WordOfHead(HiveAt(index - 1).head, kHashWord).store(HashOf(segment));
    if (!changed && current.file != nullptr) static_cast<FileSegment*>(current.file)->SkipSave();
    segment->Release();
    hives_.At(index).reset();
  }
}

// A load takes the hive files' mutexes upwards, and holds the first hive's
// creation lock while it loads the hives after it; the save above keeps each
// saved file's mutex until its set commits, downwards. Were the mutexes not
// taken upwards first, a loader, a process opening the first hive and a
// leaving process could wait on each other in a circle.
PageManager::FileMutexes PageManager::LockFilesUpwards() const {
  FileMutexes held;
  if (filePrefix_.empty()) return held;
  try {
    for (uint32_t index = 0; index < hives_.Size(); ++index) {
      auto mutex = std::make_unique<Mutex>(false, FileSegment::MutexName(SegmentName(index).c_str()).c_str());
      mutex->Lock();
      held.locked.push_back(std::move(mutex));
    }
  } catch (...) {
    // The save goes on without them: it still takes each mutex itself.
    logger::Error(messages::shm::kUnloadHivesMutexNotTaken, static_cast<unsigned>(held.locked.size()));
  }
  return held;
}

PageManager::FileMutexes::~FileMutexes() {
  for (auto mutex = locked.rbegin(); mutex != locked.rend(); ++mutex) (*mutex)->Unlock();
}

}  // namespace storage
