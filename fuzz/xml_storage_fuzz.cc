// The XML backend over any text: storage::GetXmlStorage either raises
// CVelXmlParseException or gives a section whose whole tree can be walked,
// every enumerated name opened and every key read, with only the documented
// errors of the backend for values it cannot read. Whatever a key held, a
// value of each type written to it reads back as written.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "FuzzSupport.h"

namespace {

void CheckReadBack(storage::IStorageKey* key, storage::Type type, const void* data, unsigned size) {
  fuzz::Check(key->Write(type, data, size), "Write returned false");
  fuzz::Check(key->GetType() == type, "a written key reports another type");
  fuzz::Check(key->GetSize() == size, "a written key reports another size");
  std::vector<char> buffer(size);
  fuzz::Check(key->Read(buffer.data(), size), "Read returned false");
  fuzz::Check(std::memcmp(buffer.data(), data, size) == 0, "a written value reads back different");
}

// Any element the document made a key of takes every type of value.
void CheckWrites(storage::IStorageKey* key) {
  const int32_t number = -123456;
  const unsigned char bytes[] = {0, 0xFF, 0x3D, 7};
  const char text[] = "written";
  const char list[] = "a\0bc\0";
  try {
    CheckReadBack(key, storage::TYPE_INTEGER, &number, sizeof number);
    CheckReadBack(key, storage::TYPE_BINARY, bytes, sizeof bytes);
    CheckReadBack(key, storage::TYPE_STRING, text, sizeof text);
    CheckReadBack(key, storage::TYPE_MULTI_STRING, list, sizeof list);
  } catch (const storage::Exception& error) {
    fuzz::Fault("writing or reading back a valid value failed with code " +
                std::to_string(error.GetErrorCode()));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  storage::Ref<storage::IStorageSection> root;
  try {
    root.reset(storage::GetXmlStorage(reinterpret_cast<const char*>(data), static_cast<unsigned>(size)));
  } catch (const CVelXmlParseException&) {
    return 0;
  }
  fuzz::Check(static_cast<bool>(root), "GetXmlStorage returned null for text that parsed");
  fuzz::WalkTree(root.get(), /*names_must_open=*/true, &CheckWrites);
  return 0;
}
