// Hash builders of the storage framework. Type 0 is XXH32 with seed 0; its
// 4-byte result is copied out in little-endian order on every platform, so
// that checksums written to files read back the same everywhere.
#ifndef SETTINGSTORE_BASE_HASH_H
#define SETTINGSTORE_BASE_HASH_H

#include <cstddef>
#include <cstdint>

namespace storage::hash {

using HashType = int;
inline constexpr HashType kHashTypeXxh32 = 0;

// One computed hash value. The holder calls Release when done with it.
class HashFunction {
 public:
  // Size of the result in bytes (4 for type 0).
  virtual uint32_t GetSize() const = 0;
  // Copies the first min(size, GetSize()) bytes of the result into buffer and
  // returns how many it copied.
  virtual uint32_t GetResult(void* buffer, uint32_t size) const = 0;
  virtual void Release() = 0;

 protected:
  ~HashFunction() = default;
};

// Makes hash objects. The holder calls Release when done with it.
class HashBuilder {
 public:
  // The hash of size bytes at data; null when there is none to give (null
  // data with a non-zero size, or no memory).
  virtual HashFunction* Build(const void* data, size_t size) = 0;
  virtual void Release() = 0;

 protected:
  ~HashBuilder() = default;
};

class Factory {
 public:
  // The builder for this hash type; null for a type that does not exist.
  static HashBuilder* GetBuilderInstance(HashType type);
};

}  // namespace storage::hash

#endif  // SETTINGSTORE_BASE_HASH_H
