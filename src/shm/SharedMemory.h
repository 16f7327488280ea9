// Named shared segments: a 64-byte header with a creation lock and a
// checksum, then the payload. A segment lives in memory only, or is loaded
// from a file by its first opener and saved by its last closer.
#ifndef SETTINGSTORE_SHM_SHAREDMEMORY_H
#define SETTINGSTORE_SHM_SHAREDMEMORY_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <type_traits>

#include "base/HashHelper.h"
#include "base/NamedSync.h"
#include "platform/Platform.h"
#include "shm/OwnerLock.h"
#include "shm/SharedRegion.h"

namespace storage {

// The size of every segment that is backed by a file, and of its file.
inline constexpr uint32_t kSharedFileSize = 0x100000;

// The first 64 bytes of every segment and of every file image. It is only
// ever reached in mapped memory; the words other processes read change only
// through atomic operations.
class SharedHeader {
 public:
  // Held by the opener from Open to Unlock; free when zero.
  owner::ZeroFreeOwnerLock& CreationLock() { return creationLock_; }

  uint32_t Checksum() const { return std::atomic_ref<uint32_t>(checksum_).load(); }
  // A sequentially consistent exchange, so that it is a full barrier: the
  // word is in place before anything after it, the image's save included.
  void PublishChecksum(uint32_t value) { std::atomic_ref<uint32_t>(checksum_).exchange(value); }

  // Takes over what a file image carries besides the creation lock and the
  // change flag: the checksum and the reserved bytes, which nothing interprets.
  void CopyImageFields(const SharedHeader& from) {
    PublishChecksum(from.Checksum());
    std::memcpy(reserved_, from.reserved_, sizeof reserved_);
  }

  // Whether the payload changed since it was loaded: set by the writers of
  // every process, read by the last one to leave. Lives in memory only; a
  // file image stores it clear.
  bool Changed() const { return std::atomic_ref<uint32_t>(changed_).load() != 0; }
  void MarkChanged() {
    // Read first: writers mark on every change, and a word that every
    // process's writes would store to would bounce between their caches.
    if (!Changed()) std::atomic_ref<uint32_t>(changed_).store(1);
  }
  void ClearChanged() { std::atomic_ref<uint32_t>(changed_).store(0); }

 private:
  owner::ZeroFreeOwnerLock creationLock_;
  mutable uint32_t checksum_;
  mutable uint32_t changed_;
  uint8_t reserved_[48];
};
static_assert(sizeof(SharedHeader) == 64);
static_assert(std::is_standard_layout_v<SharedHeader> && std::is_trivially_copyable_v<SharedHeader>);

// Where a segment lies in this process: its mapped start and its size.
template <class Header>
class SharedMemory {
 public:
  // Null while the segment is closed.
  Header* HeaderRecord() const { return header_; }
  // The whole segment, header included; 0 while closed.
  uint32_t Size() const { return size_; }

 protected:
  Header* header_ = nullptr;
  uint32_t size_ = 0;
};

// A segment in memory only: it exists while some process has it open, and is
// zero-filled when it is created.
template <class Header>
class SharedMemoryBase : public SharedMemory<Header>, public SharedRegion {
 public:
  SharedMemoryBase() = default;
  SharedMemoryBase(const SharedMemoryBase&) = delete;
  SharedMemoryBase& operator=(const SharedMemoryBase&) = delete;
  ~SharedMemoryBase() override = default;

  // Creates or opens the segment and maps it; returns with its creation lock
  // held by the calling thread. The platform's last error then reads 0 when
  // the segment was created, 183 when it existed. False on failure (also for
  // a size below the header's), with nothing held and the failure's last
  // error left for the caller.
  bool Open(const char* name, uint32_t size);

  void Unlock() override;
  void* GetData() override;
  uint32_t GetDataSize() override;
  void Release() override;
  void Close() override;

 protected:
  bool IsOpen() const { return this->header_ != nullptr; }

 private:
  std::unique_ptr<platform::NamedMapping> mapping_;
};

// A segment with a file image of kSharedFileSize bytes: the first process of
// the session to open it loads the file, the last to close it saves the file
// with a fresh checksum. A named mutex (name + "Mutex") serialises loads and
// saves (MutexName); a named event (name + "EventInitialize") says that the image is
// loaded, and exists exactly while some process has the segment open.
template <class Header, class Hash>
class SharedFileBase : public SharedMemoryBase<Header> {
 public:
  SharedFileBase() = default;
  ~SharedFileBase() override = default;

  // Opens the segment, loading filePath when no other process has it open.
  // A missing file starts a zero-filled segment with createIfMissing, else
  // returns false with last error 2. A file that is there but short or
  // unreadable raises LoadHiveException; one whose checksum does not match
  // its payload raises ChecksumException. Returns with the creation lock
  // held, like the base; on any failure nothing is held.
  bool Open(const char* name, const char* filePath, bool createIfMissing);

  // Ends this process's use; the last user saves the image (replacing the
  // file atomically, so a failed or interrupted save keeps the old file; in
  // a HiveSaveBatch, together with the batch's other files). Failures to
  // save are logged and handed to the open batch (HiveSaveBatch::AddFailure),
  // not thrown.
  void Close() override;

  // Whether Open read the image from the file (no other process had the
  // segment open and the file was there).
  bool LoadedFromFile() const { return loadedFromFile_; }

  // Makes this process's Close leave the file as it is even when it is the
  // last user: for an owner that knows the image has not changed.
  void SkipSave() { skipSave_ = true; }

  // The named mutex that serialises the loads and saves of segment `name`.
  static std::string MutexName(const char* name) { return std::string(name) + "Mutex"; }

 private:
  using Base = SharedMemoryBase<Header>;

  // Open's work under the named mutex.
  bool OpenLocked(const char* name, const std::string& path, bool createIfMissing);
  // Fills a new segment from the file; false for a missing file that may
  // not be created.
  bool Load(const std::string& path, bool createIfMissing);
  // Writes the image, with a fresh checksum, to a temporary beside the file
  // and returns its path; empty when it could not be written.
  std::string Save();
  // Unmaps the segment and drops the event.
  void CloseHeld();
  // Also releases the creation lock that a failing Open took.
  void AbandonOpen();

  std::unique_ptr<EventEx> event_;
  std::unique_ptr<Mutex> mutex_;
  std::string filePath_;
  std::string mutexName_;
  std::string eventName_;
  bool loadedFromFile_ = false;
  bool skipSave_ = false;
};

extern template class SharedMemoryBase<SharedHeader>;
extern template class SharedFileBase<SharedHeader, hash::HashHelper<0>>;

}  // namespace storage

#endif  // SETTINGSTORE_SHM_SHAREDMEMORY_H
