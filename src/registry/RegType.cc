// Translation between the framework's value types and registry value types.
#include "registry/RegType.h"

#include "platform/Registry.h"

namespace storage {

using namespace platform;

unsigned long GetRegType(Type type) {
  switch (type) {
    case TYPE_BINARY:
      return REG_BINARY;
    case TYPE_INTEGER:
      return REG_DWORD;
    case TYPE_STRING:
      return REG_SZ;
    case TYPE_MULTI_STRING:
      return REG_MULTI_SZ;
    default:
      return kNoRegistryType;
  }
}

Type GetRegType(unsigned long registryType) {
  switch (registryType) {
    case REG_SZ:
      return TYPE_STRING;
    case REG_BINARY:
      return TYPE_BINARY;
    case REG_DWORD:
      return TYPE_INTEGER;
    case REG_MULTI_SZ:
      return TYPE_MULTI_STRING;
    default:
      return TYPE_UNKNOWN;
  }
}

}  // namespace storage
