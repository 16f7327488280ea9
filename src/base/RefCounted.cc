#include "base/RefCounted.h"

namespace storage {

IAddRef::~IAddRef() = default;
IStorageInitializer::~IStorageInitializer() = default;

long RefCounted::AddRef() { return count_.fetch_add(1, std::memory_order_relaxed) + 1; }

long RefCounted::Release() {
  long left = count_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) {
    OnGetFreedom();
    delete this;
  }
  return left;
}

}  // namespace storage
