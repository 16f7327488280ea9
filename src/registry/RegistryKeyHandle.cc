#include "registry/RegistryKeyHandle.h"

namespace storage {

CHKey::CHKeyImpl::~CHKeyImpl() { platform::RegCloseKey(key_); }

CHKey::CHKey(platform::HKEY key) {
  try {
    impl_.reset(new CHKeyImpl(key));
  } catch (...) {
    platform::RegCloseKey(key);
    throw;
  }
}

}  // namespace storage
