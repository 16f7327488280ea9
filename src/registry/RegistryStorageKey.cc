#include "registry/RegistryStorageKey.h"

#include "registry/RegType.h"

namespace storage {

using namespace platform;

bool RegistryStorageKey::Read(void* buffer, unsigned size) {
  DWORD length = size;
  const LSTATUS result =
      RegQueryValueExA(SectionKey(), name_.c_str(), nullptr, nullptr, static_cast<uint8_t*>(buffer), &length);
  if (result != kRegSuccess) return RetryOrThrow<IOException>(result, [&] { return Read(buffer, size); });
  return true;
}

bool RegistryStorageKey::Write(Type type, const void* data, unsigned size) {
  const unsigned long registryType = GetRegType(type);
  if (registryType == kNoRegistryType) throw IOException(kErrorBadValue);
  const LSTATUS result = RegSetValueExA(SectionKey(), name_.c_str(), 0, static_cast<DWORD>(registryType),
                                        static_cast<const uint8_t*>(data), size);
  if (result != kRegSuccess) {
    return RetryOrThrow<IOException>(result, [&] { return Write(type, data, size); });
  }
  return true;
}

// GetType and GetSize ask once: a size that changes between calls is the
// caller's business, not a reason to retry.
Type RegistryStorageKey::GetType() {
  DWORD registryType = REG_NONE;
  const LSTATUS result =
      RegQueryValueExA(SectionKey(), name_.c_str(), nullptr, &registryType, nullptr, nullptr);
  if (result != kRegSuccess) throw IOException(ErrorCodeOf(result));
  const Type type = GetRegType(static_cast<unsigned long>(registryType));
  if (type == TYPE_UNKNOWN) throw Exception(kErrorFailed);
  return type;
}

unsigned RegistryStorageKey::GetSize() {
  DWORD size = 0;
  const LSTATUS result = RegQueryValueExA(SectionKey(), name_.c_str(), nullptr, nullptr, nullptr, &size);
  if (result != kRegSuccess) throw IOException(ErrorCodeOf(result));
  return size;
}

}  // namespace storage
