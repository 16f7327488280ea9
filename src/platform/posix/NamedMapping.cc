// Named file mappings backed by memory: the contents of a named object, behind
// its first page, mapped shared.
#include <sys/mman.h>

#include "platform/Platform.h"
#include "platform/posix/SharedObject.h"

namespace storage::platform {

namespace {

#ifdef MAP_POPULATE
constexpr int kPopulate = MAP_POPULATE;
#else
constexpr int kPopulate = 0;
#endif

using posix::ObjectKind;
using posix::SharedObject;

class PosixNamedMapping final : public NamedMapping {
 public:
  ~PosixNamedMapping() override {
    Unmap();
    if (object_ != nullptr) object_->ReleaseHandle();
  }

  bool Attach(const char* name, size_t size, bool create) {
    if (create && size == 0) {
      SetLastError(kErrorInvalidParameter);
      return false;
    }
    // New contents are zero-filled by the object file itself.
    object_ =
        SharedObject::Acquire(name, ObjectKind::kMapping, size, create, [](SharedObject&) { return true; });
    return object_ != nullptr;
  }

  size_t Size() const override { return object_->PayloadSize(); }

  void* Map() override {
    if (view_ == nullptr) {
      // Its opener fills or walks a segment at once: mapping every page in one
      // call costs far less than a fault per page.
      void* view = mmap(nullptr, Size(), PROT_READ | PROT_WRITE, MAP_SHARED | kPopulate,
                        object_->Descriptor(), static_cast<off_t>(SharedObject::PayloadOffset()));
      if (view == MAP_FAILED) {
        SetLastError(kErrorNotEnoughMemory);
        return nullptr;
      }
      view_ = view;
    }
    return view_;
  }

  void Unmap() override {
    if (view_ != nullptr) munmap(view_, Size());
    view_ = nullptr;
  }

 private:
  SharedObject* object_ = nullptr;
  void* view_ = nullptr;
};

std::unique_ptr<NamedMapping> MakeMapping(const char* name, size_t size, bool create) {
  auto mapping = std::make_unique<PosixNamedMapping>();
  if (!mapping->Attach(name, size, create)) return nullptr;
  return mapping;
}

}  // namespace

std::unique_ptr<NamedMapping> NamedMapping::Create(const char* name, size_t size) {
  return MakeMapping(name, size, true);
}

std::unique_ptr<NamedMapping> NamedMapping::Open(const char* name) { return MakeMapping(name, 0, false); }

}  // namespace storage::platform
