#include "registry/RegistryKeyHandle.h"

namespace storage {

RegistryKeyHandle::HandleOwner::~HandleOwner() { platform::RegCloseKey(key_); }

RegistryKeyHandle::RegistryKeyHandle(platform::HKEY key) {
  try {
    impl_.reset(new HandleOwner(key));
  } catch (...) {
    platform::RegCloseKey(key);
    throw;
  }
}

}  // namespace storage
