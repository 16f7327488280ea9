// Ref<T>: holds one reference to an IAddRef object and releases it when it
// goes out of scope, so that host code need not call Release by hand.
//
//   storage::Ref<storage::IStorageSection> root(factory->GetRoot());
//   storage::Ref<storage::IStorageKey> key(root->CreateKey("Width"));
#ifndef SETTINGSTORE_REF_H
#define SETTINGSTORE_REF_H

#include <utility>

namespace storage {

template <class T>
class Ref {
 public:
  Ref() noexcept = default;
  // Adopts the reference that an operation handed to the caller.
  explicit Ref(T* adopted) noexcept : ptr_(adopted) {}
  Ref(const Ref& other) noexcept : ptr_(other.ptr_) {
    if (ptr_) ptr_->AddRef();
  }
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  ~Ref() { reset(); }

  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }

  // Takes a new reference on an object the caller keeps its own reference to.
  static Ref share(T* object) noexcept {
    if (object) object->AddRef();
    return Ref(object);
  }

  void reset(T* adopted = nullptr) noexcept {
    T* old = std::exchange(ptr_, adopted);
    if (old) old->Release();
  }
  // Gives the reference up to the caller.
  [[nodiscard]] T* release() noexcept { return std::exchange(ptr_, nullptr); }

  T* get() const noexcept { return ptr_; }
  T* operator->() const noexcept { return ptr_; }
  T& operator*() const noexcept { return *ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }

 private:
  T* ptr_ = nullptr;
};

}  // namespace storage

#endif  // SETTINGSTORE_REF_H
