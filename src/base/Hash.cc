#include "base/Hash.h"

#include <xxhash.h>

#include <algorithm>
#include <new>

namespace storage::hash {

namespace {

class Xxh32Hash final : public HashFunction {
 public:
  explicit Xxh32Hash(uint32_t value)
      : bytes_{static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
               static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)} {}

  uint32_t GetSize() const override { return sizeof bytes_; }

  uint32_t GetResult(void* buffer, uint32_t size) const override {
    if (buffer == nullptr) return 0;
    uint32_t copied = std::min<uint32_t>(size, sizeof bytes_);
    std::copy_n(bytes_, copied, static_cast<uint8_t*>(buffer));
    return copied;
  }

  void Release() override { delete this; }

 private:
  ~Xxh32Hash() = default;
  uint8_t bytes_[4];  // little-endian
};

// Stateless, so one instance serves every caller and thread; Release has
// nothing to free.
class Xxh32Builder final : public HashBuilder {
 public:
  HashFunction* Build(const void* data, size_t size) override {
    if (data == nullptr && size != 0) return nullptr;
    return new (std::nothrow) Xxh32Hash(XXH32(data, size, 0));
  }

  void Release() override {}
};

}  // namespace

HashBuilder* Factory::GetBuilderInstance(HashType type) {
  static Xxh32Builder xxh32_builder;
  return type == kHashTypeXxh32 ? &xxh32_builder : nullptr;
}

}  // namespace storage::hash
