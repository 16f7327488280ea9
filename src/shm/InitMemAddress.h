// The storage-wide address of a block in shared memory: a hive number in bits
// 31-24 and the block's offset in that hive's data area in bits 23-0. It means
// the same in every process, so it is what shared structures store.
#ifndef SETTINGSTORE_SHM_INITMEMADDRESS_H
#define SETTINGSTORE_SHM_INITMEMADDRESS_H

#include <cstdint>

#include "base/Exceptions.h"
#include "shm/Messages.h"

namespace storage {

class InitMemAddress {
 public:
  // The null address: the fill word of fresh shared memory.
  static constexpr uint32_t kNull = 0xCCCCCCCC;
  static constexpr int kMaxHiveNumber = 256;
  static constexpr int kMaxOffset = 1048576;  // exclusive

  constexpr InitMemAddress() = default;
  // A word read back from shared memory.
  constexpr explicit InitMemAddress(uint32_t value) : value_(value) {}
  // Refuses a hive number outside 1..256 and an offset outside 0..1048575.
  InitMemAddress(int hiveNumber, int offset) {
    STORAGE_ASSERT(hiveNumber >= 1 && hiveNumber <= kMaxHiveNumber && offset >= 0 && offset < kMaxOffset,
                   messages::shm::kInitMemAddressFile, messages::shm::kInitMemAddressConstructor, nullptr);
    value_ = (static_cast<uint32_t>(hiveNumber) << 24) | (static_cast<uint32_t>(offset) & 0xFFFFFF);
  }

  constexpr uint32_t Value() const { return value_; }
  constexpr bool IsNull() const { return value_ == kNull; }
  // Signed: only 1..127 name a hive, a number with the top bit set is negative.
  constexpr int HiveNumber() const { return static_cast<int32_t>(value_) >> 24; }
  // Sign-extended, so that an offset with bit 23 set never passes a bounds check.
  constexpr int Offset() const { return static_cast<int32_t>(value_ << 8) >> 8; }

  friend constexpr bool operator==(const InitMemAddress&, const InitMemAddress&) = default;

 private:
  uint32_t value_ = kNull;
};

}  // namespace storage

#endif  // SETTINGSTORE_SHM_INITMEMADDRESS_H
