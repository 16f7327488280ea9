// A block of one hive, named by its hive's manager and its offset there.
#ifndef SETTINGSTORE_SHM_HIVEPOINTER_H
#define SETTINGSTORE_SHM_HIVEPOINTER_H

#include <cstdint>
#include <stdexcept>

#include "shm/Messages.h"
#include "shm/PageMemoryManager.h"

namespace storage {

class HivePointer {
 public:
  HivePointer() = default;
  HivePointer(PageMemoryManager* manager, uint32_t offset) : manager_(manager), offset_(offset) {}

  uint32_t Offset() const { return offset_; }
  // The block's address in this process.
  void* get() const {
    if (manager_ == nullptr) throw std::runtime_error(messages::shm::kPageMemoryManagerNull);
    return manager_->GetPoint(offset_);
  }

 private:
  PageMemoryManager* manager_ = nullptr;
  uint32_t offset_ = PageMemoryManager::kNullOffset;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHM_HIVEPOINTER_H
