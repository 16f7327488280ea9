#include "shm/SharedMemory.h"

#include "base/Exceptions.h"
#include "base/ProcessValues.h"
#include "shm/Messages.h"

namespace storage {

namespace {

// Drops what a failed Open made, leaving the failure's last error readable.
bool FailOpen(std::unique_ptr<platform::NamedMapping> mapping) {
  const uint32_t error = platform::GetLastError();
  mapping.reset();
  platform::SetLastError(error);
  return false;
}

}  // namespace

template <class Header>
bool SharedMemoryBase<Header>::Open(const char* name, uint32_t size) {
  STORAGE_ASSERT(!IsOpen(), messages::shm::kSharedMemoryFile, messages::shm::kSharedMemoryOpen,
                 messages::shm::kSegmentOpenAlready);
  if (size < sizeof(Header)) {
    platform::SetLastError(platform::kErrorInvalidParameter);
    return false;
  }
  platform::SetLastError(platform::kErrorSuccess);

  std::unique_ptr<platform::NamedMapping> mapping = platform::NamedMapping::Create(name, size);
  if (!mapping) return false;
  const uint32_t created = platform::GetLastError();
  if (created != platform::kErrorSuccess && created != platform::kErrorAlreadyExists) {
    return FailOpen(std::move(mapping));
  }
  void* view = mapping->Map();
  if (view == nullptr) return FailOpen(std::move(mapping));

  mapping_ = std::move(mapping);
  this->header_ = static_cast<Header*>(view);
  this->size_ = size;
  try {
    this->header_->CreationLock().Lock(GetSpinCount());
  } catch (...) {
    SharedMemoryBase::Close();
    throw;
  }
  // Taking the lock may have touched the last error; the caller reads it to
  // tell a new segment from an existing one.
  platform::SetLastError(created);
  return true;
}

template <class Header>
void SharedMemoryBase<Header>::Unlock() {
  if (IsOpen()) this->header_->CreationLock().Unlock();
}

template <class Header>
void* SharedMemoryBase<Header>::GetData() {
  return IsOpen() ? reinterpret_cast<uint8_t*>(this->header_) + sizeof(Header) : nullptr;
}

template <class Header>
uint32_t SharedMemoryBase<Header>::GetDataSize() {
  return IsOpen() ? this->size_ - static_cast<uint32_t>(sizeof(Header)) : 0;
}

template <class Header>
void SharedMemoryBase<Header>::Release() {
  // Destroyed also when Close throws.
  std::unique_ptr<SharedMemoryBase> self(this);
  Close();
}

template <class Header>
void SharedMemoryBase<Header>::Close() {
  if (mapping_) mapping_->Unmap();
  mapping_.reset();
  this->header_ = nullptr;
  this->size_ = 0;
}

template class SharedMemoryBase<SharedHeader>;

}  // namespace storage
