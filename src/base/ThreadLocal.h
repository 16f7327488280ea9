// A per-thread object, made on first use and destroyed when its thread ends.
// On POSIX it is a plain thread_local. mingw-w64 keeps thread_local objects in
// emulated storage that winpthread may free before it runs their destructors,
// so on Windows the object lives on the heap behind a thread-local slot of the
// OS layer, whose cleanup destroys it.
#ifndef SETTINGSTORE_BASE_THREADLOCAL_H
#define SETTINGSTORE_BASE_THREADLOCAL_H

#include <new>

#include "platform/Platform.h"

namespace storage::utils {

// The calling thread's T; each Tag names an object of its own.
template <class T, class Tag = T>
T& ThreadLocal() {
#ifdef _WIN32
  static const int slot = platform::TlsAlloc([](void* object) { delete static_cast<T*>(object); });
  if (slot < 0) throw std::bad_alloc();
  auto* object = static_cast<T*>(platform::TlsGetValue(slot));
  if (object == nullptr) {
    object = new T();
    if (!platform::TlsSetValue(slot, object)) {
      delete object;
      throw std::bad_alloc();
    }
  }
  return *object;
#else
  thread_local T object;
  return object;
#endif
}

}  // namespace storage::utils

#endif  // SETTINGSTORE_BASE_THREADLOCAL_H
