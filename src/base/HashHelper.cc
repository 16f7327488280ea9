#include "base/HashHelper.h"

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

}  // namespace storage::hash
