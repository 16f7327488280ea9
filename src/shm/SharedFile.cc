#include <algorithm>
#include <cstring>
#include <fstream>
#include <vector>

#include "base/Exceptions.h"
#include "base/Logger.h"
#include "base/Path.h"
#include "base/PathUtils.h"
#include "shm/HiveSaveBatch.h"
#include "shm/Messages.h"
#include "shm/SharedMemory.h"

namespace storage {

namespace {

// Small enough to stay in the cache between its read and its hash.
constexpr uint32_t kLoadPiece = 64 * 1024;

}  // namespace

template <class Header, class Hash>
bool SharedFileBase<Header, Hash>::Open(const char* name, const char* filePath, bool createIfMissing) {
  STORAGE_ASSERT(name != nullptr && filePath != nullptr, messages::shm::kSharedMemoryFile,
                 messages::shm::kSharedFileOpen, messages::shm::kNameAndPathRequired);
  STORAGE_ASSERT(!this->IsOpen(), messages::shm::kSharedMemoryFile, messages::shm::kSharedFileOpen,
                 messages::shm::kSegmentOpenAlready);
  // Absolute, so that the save reaches the same file whatever the current
  // directory is by then.
  const std::string path = utils::path::Normalize(filePath);
  std::string mutexName = MutexName(name);
  // Declared before its guard, so that it is closed only after the unlock,
  // on every path.
  auto mutex = std::make_unique<Mutex>(false, mutexName.c_str());
  bool opened;
  uint32_t error;
  {
    MutexGuard guard(*mutex);
    opened = OpenLocked(name, path, createIfMissing);
    error = platform::GetLastError();
  }
  if (opened) {
    mutex_ = std::move(mutex);
    mutexName_ = std::move(mutexName);
    filePath_ = path;
  } else {
    mutex.reset();
  }
  platform::SetLastError(error);
  return opened;
}

template <class Header, class Hash>
bool SharedFileBase<Header, Hash>::OpenLocked(const char* name, const std::string& path,
                                                  bool createIfMissing) {
  eventName_ = std::string(name) + "EventInitialize";
  loadedFromFile_ = false;
  bool opened = false;
  try {
    event_ = std::make_unique<EventEx>(eventName_.c_str());
    // A set event: another process has the segment open and loaded.
    opened = Base::Open(name, kSharedFileSize) && (event_->Wait(0) || Load(path, createIfMissing));
  } catch (...) {
    AbandonOpen();
    throw;
  }
  if (!opened) {
    const uint32_t error = platform::GetLastError();
    AbandonOpen();
    platform::SetLastError(error);
  }
  return opened;
}

template <class Header, class Hash>
bool SharedFileBase<Header, Hash>::Load(const std::string& path, bool createIfMissing) {
  logger::Debug(messages::shm::kOpenSharedFile, path.c_str());
  HiveSaveBatch::Recover(path);
  // A session that only reads saves nothing, so what killed saves left goes now.
  platform::RemoveStaleTemporaries(path.c_str());
  std::ifstream file(path, std::ios::binary);
  if (!file.is_open()) {
    // Starting empty from a file that is there would overwrite it at the save.
    if (platform::PathExists(path.c_str())) throw LoadHiveException();
    logger::Debug(messages::shm::kSharedFileMissing, path.c_str());
    if (!createIfMissing) {
      platform::SetLastError(platform::kErrorFileNotFound);
      return false;
    }
    // A new image has no file yet: it is saved even if nobody writes to it.
    this->header_->MarkChanged();
  } else {
    logger::Debug(messages::shm::kReadSharedFile, path.c_str());
    // The live creation lock words, held by this thread, are kept: only the
    // checksum and the reserved bytes of the stored header are taken over.
    Header stored{};
    file.read(reinterpret_cast<char*>(&stored), sizeof stored);
    // Straight into the segment, each piece hashed while it is still in the
    // cache: a second pass over the whole image would read it from memory.
    auto* data = static_cast<char*>(this->GetData());
    const uint32_t size = this->GetDataSize();
    typename Hash::Running hash;
    for (uint32_t done = 0; file && done < size;) {
      const uint32_t piece = std::min(kLoadPiece, size - done);
      file.read(data + done, piece);
      hash.Add(data + done, piece);
      done += piece;
    }
    if (!file) throw LoadHiveException();
    if (hash.Result() != stored.Checksum()) throw ChecksumException();
    this->header_->CopyImageFields(stored);
    this->header_->ClearChanged();
  }
  loadedFromFile_ = file.is_open();
  logger::Debug(messages::shm::kSharedFileInitialized, path.c_str());
  event_->Set();
  return true;
}

template <class Header, class Hash>
void SharedFileBase<Header, Hash>::Close() {
  if (!mutex_) {
    Base::Close();
    return;
  }
  // Moved out first so that it is closed after its guard has unlocked it.
  std::unique_ptr<Mutex> mutex = std::move(mutex_);
  // Outside a batch of the caller's, the file is a set of its own.
  HiveSaveBatch batch;
  bool saving = false;
  std::string temporary;
  {
    MutexGuard guard(*mutex);
    // With this process's handle gone, an event made anew has no other
    // holder: this process is the last user of the segment.
    event_.reset();
    try {
      event_ = std::make_unique<EventEx>(eventName_.c_str());
      saving = event_->Created() && !skipSave_;
      if (saving) temporary = Save();
    } catch (...) {
      CloseHeld();
      throw;
    }
    CloseHeld();
    // Nobody may load the file before the new image has replaced it.
    if (!temporary.empty()) mutex->Lock();
  }
  if (temporary.empty()) {
    if (saving) HiveSaveBatch::AddFailure();
    return;
  }
  HiveSaveBatch::Add(std::move(mutex), std::move(temporary), filePath_);
}

template <class Header, class Hash>
std::string SharedFileBase<Header, Hash>::Save() {
  const char* path = filePath_.c_str();
  logger::Debug(messages::shm::kUpdateHash, path);
  this->header_->PublishChecksum(Hash().Compute(this->GetData(), this->GetDataSize()));

  const std::string directory = utils::path::GetDir(filePath_);
  if (!directory.empty() && !utils::IsDirectory(directory) &&
      !utils::CreateDirectoryChain(directory, false)) {
    logger::Error(messages::shm::kSharedFileNotOpenedForWrite, path);
    return {};
  }
  // The image stores the creation lock free: a lock word names a thread of
  // this session and means nothing to the next one.
  Header stored{};
  stored.CopyImageFields(*this->header_);
  std::vector<uint8_t> image(this->size_);
  std::memcpy(image.data(), &stored, sizeof stored);
  std::memcpy(image.data() + sizeof stored, this->GetData(), this->GetDataSize());

  logger::Debug(messages::shm::kOpenSharedFileForWrite, path);
  platform::RemoveStaleTemporaries(path);
  logger::Debug(messages::shm::kWriteSharedFile, path);
  std::string temporary = platform::WriteTemporaryFile(path, image.data(), image.size(),
                                                       HiveSaveBatch::MainHiveFile(filePath_).c_str());
  if (temporary.empty()) logger::Error(messages::shm::kSharedFileNotWritten, path);
  return temporary;
}

template <class Header, class Hash>
void SharedFileBase<Header, Hash>::CloseHeld() {
  Base::Close();
  event_.reset();
}

template <class Header, class Hash>
void SharedFileBase<Header, Hash>::AbandonOpen() {
  this->Unlock();
  CloseHeld();
}

template class SharedFileBase<SharedHeader, hash::HashHelper<0>>;

}  // namespace storage
