#include "base/HashHelper.h"

#include "base/Exceptions.h"

namespace storage::hash {

namespace {

constexpr const char* kSourceFile = "hash/HashHelper";

}  // namespace

HashHelper<kHashTypeXxh32>::HashHelper() : builder_(Factory::GetBuilderInstance(kHashTypeXxh32)) {
  STORAGE_ASSERT(builder_ != nullptr, kSourceFile, "storage::hash::HashHelper<0>::HashHelper", nullptr);
}

HashHelper<kHashTypeXxh32>::~HashHelper() { builder_->Release(); }

uint32_t HashHelper<kHashTypeXxh32>::getResult(const void* data, size_t size) {
  HashFunction* result = builder_->Build(data, size);
  STORAGE_ASSERT(result != nullptr, kSourceFile, "storage::hash::HashHelper<0>::getResult", nullptr);
  uint32_t value = 0;
  result->GetResult(&value, sizeof value);
  result->Release();
  return value;
}

}  // namespace storage::hash
