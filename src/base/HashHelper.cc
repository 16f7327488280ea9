#include "base/HashHelper.h"

#include <xxhash.h>

#include <cstring>
#include <new>

#include "base/Exceptions.h"
#include "base/Messages.h"

namespace storage::hash {

namespace {

constexpr const char* kSourceFile = messages::base::kHashHelperFile;

}  // namespace

HashHelper<kHashTypeXxh32>::HashHelper() : builder_(Factory::GetBuilderInstance(kHashTypeXxh32)) {
  STORAGE_ASSERT(builder_ != nullptr, kSourceFile, messages::base::kHashHelperConstructor, nullptr);
}

HashHelper<kHashTypeXxh32>::~HashHelper() { builder_->Release(); }

uint32_t HashHelper<kHashTypeXxh32>::Compute(const void* data, size_t size) {
  HashFunction* result = builder_->Build(data, size);
  STORAGE_ASSERT(result != nullptr, kSourceFile, messages::base::kHashHelperGetResult, nullptr);
  uint32_t value = 0;
  result->GetResult(&value, sizeof value);
  result->Release();
  return value;
}

// Type 0 is XXH32 with seed 0 (base/Hash.h); its state is kept directly, as
// the framework's builders hash only whole buffers.
HashHelper<kHashTypeXxh32>::Running::Running() : state_(XXH32_createState()) {
  if (state_ == nullptr) throw std::bad_alloc();
  XXH32_reset(static_cast<XXH32_state_t*>(state_), 0);
}

HashHelper<kHashTypeXxh32>::Running::~Running() { XXH32_freeState(static_cast<XXH32_state_t*>(state_)); }

void HashHelper<kHashTypeXxh32>::Running::Add(const void* data, size_t size) {
  XXH32_update(static_cast<XXH32_state_t*>(state_), data, size);
}

uint32_t HashHelper<kHashTypeXxh32>::Running::Result() const {
  const XXH32_hash_t value = XXH32_digest(static_cast<const XXH32_state_t*>(state_));
  // Compute's byte order: the little-endian bytes of the value, in memory order.
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  uint32_t result;
  std::memcpy(&result, bytes, sizeof result);
  return result;
}

}  // namespace storage::hash
