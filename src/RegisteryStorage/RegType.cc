// Translation between the framework's value types and registry value types.
#include "storage/storage.h"

namespace storage {

namespace {
constexpr unsigned long kRegSz = 1, kRegBinary = 3, kRegDword = 4, kRegMultiSz = 7;
}  // namespace

unsigned long GetRegType(Type type) {
  switch (type) {
    case TYPE_BINARY: return kRegBinary;
    case TYPE_INTEGER: return kRegDword;
    case TYPE_STRING: return kRegSz;
    case TYPE_MULTI_STRING: return kRegMultiSz;
    default: return 0xFFFFFFFFul;
  }
}

Type GetRegType(unsigned long registryType) {
  switch (registryType) {
    case kRegSz: return TYPE_STRING;
    case kRegBinary: return TYPE_BINARY;
    case kRegDword: return TYPE_INTEGER;
    case kRegMultiSz: return TYPE_MULTI_STRING;
    default: return TYPE_UNKNOWN;
  }
}

}  // namespace storage
