// Named file mappings on Win32: sections backed by the paging file, which the
// system zero-fills when it creates them.
#include "platform/Platform.h"
#include "platform/win32/Win32Error.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace storage::platform {

namespace {

class Win32NamedMapping final : public NamedMapping {
 public:
  // A size of 0 means unknown: the mapping existed before, with its own size.
  Win32NamedMapping(HANDLE mapping, size_t size) : mapping_(mapping), size_(size) {}
  ~Win32NamedMapping() override {
    Unmap();
    ::CloseHandle(mapping_);
  }

  // Of a mapping this handle did not create, the size of a view of it, which
  // the system rounds up to whole pages; 0 when no view can be made.
  size_t Size() const override {
    if (size_ == 0) {
      void* view = view_ != nullptr ? view_ : ::MapViewOfFile(mapping_, FILE_MAP_READ, 0, 0, 0);
      MEMORY_BASIC_INFORMATION information;
      if (view != nullptr && ::VirtualQuery(view, &information, sizeof information) == sizeof information) {
        size_ = information.RegionSize;
      }
      if (view != nullptr && view != view_) ::UnmapViewOfFile(view);
    }
    return size_;
  }

  void* Map() override {
    if (view_ == nullptr) {
      view_ = ::MapViewOfFile(mapping_, FILE_MAP_ALL_ACCESS, 0, 0, 0);
      if (view_ == nullptr) win32::FailFromSystem();
    }
    return view_;
  }

  void Unmap() override {
    if (view_ != nullptr) ::UnmapViewOfFile(view_);
    view_ = nullptr;
  }

 private:
  const HANDLE mapping_;
  mutable size_t size_;
  void* view_ = nullptr;
};

}  // namespace

std::unique_ptr<NamedMapping> NamedMapping::Create(const char* name, size_t size) {
  // An empty name would make an unnamed mapping that nobody else can open.
  if (name == nullptr || *name == '\0' || size == 0) {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  const uint64_t wide = size;
  HANDLE mapping = ::CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, static_cast<DWORD>(wide >> 32),
                                        static_cast<DWORD>(wide & 0xFFFFFFFFu), name);
  if (mapping == nullptr) {
    win32::FailFromSystem();
    return nullptr;
  }
  const bool existed = ::GetLastError() == ERROR_ALREADY_EXISTS;
  SetLastError(existed ? kErrorAlreadyExists : kErrorSuccess);
  return std::make_unique<Win32NamedMapping>(mapping, existed ? 0 : size);
}

std::unique_ptr<NamedMapping> NamedMapping::Open(const char* name) {
  if (name == nullptr || *name == '\0') {
    SetLastError(kErrorInvalidParameter);
    return nullptr;
  }
  HANDLE mapping = ::OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, name);
  if (mapping == nullptr) {
    win32::FailFromSystem();
    return nullptr;
  }
  SetLastError(kErrorSuccess);
  return std::make_unique<Win32NamedMapping>(mapping, 0);
}

}  // namespace storage::platform
