#include "shareddom/SharedDOMKey.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/Base64.h"
#include "shareddom/DOMElements.h"
#include "shareddom/MemAccessController.h"
#include "shareddom/Messages.h"
#include "shareddom/NameStrings.h"

namespace storage {

namespace {

constexpr const char* kStringFactoryFile = messages::shareddom::kStringFactoryFile;

std::string Hex(uint32_t number) {
  char text[32];
  std::snprintf(text, sizeof text, "%x", number);
  return text;
}

std::string EncodeBase64(const void* data, size_t size) {
  size_t length = 0;
  base64::Encode(nullptr, size, nullptr, &length);
  std::string text(length, '\0');
  if (size > 0) base64::Encode(data, size, text.data(), &length);
  return text;
}

// The bytes of a multi-string up to and including the empty string that
// closes it: after the last string's zero byte, or the first byte of an empty
// list, which is that one zero byte alone, as the other backends store it.
// Never read beyond the caller's size: a list that does not end within it is
// closed here.
std::string MultiStringBytes(const char* data, unsigned size) {
  if (size > 0 && data[0] == '\0') return std::string(1, '\0');
  for (unsigned i = 1; i < size; ++i) {
    if (data[i] == '\0' && data[i - 1] == '\0') return std::string(data, i + 1);
  }
  std::string bytes(data == nullptr ? "" : data, size);
  if (bytes.empty() || bytes.back() != '\0') bytes.push_back('\0');
  bytes.push_back('\0');
  return bytes;
}

// The text of a string handle; an empty handle is a damaged value.
const char* TextOf(const StringAutoRelease& handle) {
  if (handle.GetHolder() == nullptr) throw IOException(kErrorBadValue);
  const char* text = handle.GetString();
  STORAGE_ASSERT(text != nullptr, kStringFactoryFile, messages::shareddom::kAutoReleaseGetString,
                 nullptr);
  return text;
}

unsigned ParseSize(const StringAutoRelease& handle) {
  return static_cast<unsigned>(std::strtol(TextOf(handle), nullptr, 16));
}

Type FrameworkType(SharedDOMKey::StoredType type) {
  static constexpr Type kTypes[] = {TYPE_UNKNOWN, TYPE_INTEGER, TYPE_STRING, TYPE_BINARY, TYPE_MULTI_STRING};
  return kTypes[type];
}

}  // namespace

SharedDOMKey::~SharedDOMKey() {
  // The string objects of a torn-down storage are gone with it.
  if (!place_.section.IsCurrent()) place_.name.Abandon();
}

void SharedDOMKey::WriteAttributes(NodeRef& chain) {
  if (place_.key.IsMarked()) {
    // Deleted since this object was made: made again under the name it had.
    const char* name = place_.name.GetString();
    STORAGE_ASSERT(name != nullptr, kStringFactoryFile, messages::shareddom::kAutoReleaseGetString,
                   nullptr);
    KeyPlace again = SharedDOMSection::OpenOrCreateKey(place_.section, names::Text(name));
    place_.key = std::move(again.key);
  }
  DOMElement(place_.key).SetAttributes(chain);
}

SharedDOMKey::Snapshot SharedDOMKey::TakeSnapshot(bool withSize, bool withValue) {
  const WellKnownSids& sids = SharedServices::Required().Sids();
  Snapshot result{kUnknown, {}, {}};
  uint32_t typeSid = 0;
  uint32_t sizeSid = WellKnownSids::kNoSid;
  uint32_t valueSid = WellKnownSids::kNoSid;
  {
    NodeReadLock lock(place_.section);
    if (place_.section.IsMarked() || place_.key.IsMarked()) throw IOException(kErrorDeleted);
    const uint32_t names[] = {sids.type, sids.size, sids.value};
    uint32_t values[3];
    DOMElement(place_.key).GetAttributes(names, values, 1 + (withSize || withValue ? 2 : 0));
    typeSid = values[0];
    if (withSize) sizeSid = values[1];
    if (withValue) valueSid = values[2];
    // Taken under the lock: a write that follows cannot free them meanwhile.
    if (withSize && sizeSid != WellKnownSids::kNoSid) result.size = SharedServices::Required().Strings().GetString(int32_t(sizeSid));
    if (withValue && valueSid != WellKnownSids::kNoSid) result.value = SharedServices::Required().Strings().GetString(int32_t(valueSid));
  }
  const uint32_t typeSids[] = {sids.unknown, sids.integer, sids.string, sids.binary, sids.multivalue};
  const uint32_t* found = std::find(std::begin(typeSids), std::end(typeSids), typeSid);
  if (typeSid == WellKnownSids::kNoSid || found == std::end(typeSids)) throw IOException(kErrorBadValue);
  result.type = static_cast<StoredType>(found - std::begin(typeSids));
  return result;
}

void SharedDOMKey::WriteValue(uint32_t typeSid, const std::string& size, const std::string& value) {
  // Values are looked up byte for byte, so they come back exactly as written.
  const StringAutoRelease valueString = SharedServices::Required().Strings().GetExactSID(value.c_str());
  const StringAutoRelease sizeString =
      size.empty() ? StringAutoRelease() : SharedServices::Required().Strings().GetExactSID(size.c_str());
  const auto sidOf = [](const StringAutoRelease& handle) {
    return handle.GetHolder() == nullptr ? WellKnownSids::kNoSid : static_cast<uint32_t>(handle.GetSID());
  };
  NodeRef chain = DOMElement::NewValueChain(
      typeSid, size.empty() ? SharedServices::Required().Sids().four : sidOf(sizeString), sidOf(valueString));
  const RetiredChain retired(chain);
  NodeLock lock(place_.section);
  if (place_.section.IsMarked()) throw IOException(kErrorDeleted);
  WriteAttributes(chain);
}

bool SharedDOMKey::Write(Type type, const void* data, unsigned size) {
  return TranslateExceptions(Operation::kIO, place_.section, [&] {
    if (type == TYPE_UNKNOWN) throw IOException(kErrorNoValue);
    if (type < TYPE_UNKNOWN || type > TYPE_MULTI_STRING) throw IOException(kErrorBadType);
    if (data == nullptr && size > 0) throw IOException(kErrorFailed);
    const WellKnownSids& sids = SharedServices::Required().Sids();
    const char* bytes = static_cast<const char*>(data);
    switch (type) {
      case TYPE_INTEGER: {
        if (size != 4) throw IOException(kErrorFailed);
        uint32_t number = 0;
        std::memcpy(&number, data, sizeof number);
        WriteValue(sids.integer, std::string(), Hex(number));  // the size is the well-known "4"
        break;
      }
      case TYPE_STRING: {
        // The text up to its zero byte, never beyond the caller's size.
        const std::string text = size == 0 ? std::string() : std::string(bytes, strnlen(bytes, size));
        WriteValue(sids.string, Hex(static_cast<uint32_t>(text.size() + 1)), text);
        break;
      }
      case TYPE_BINARY:
        WriteValue(sids.binary, Hex(size), EncodeBase64(data, size));
        break;
      default: {
        const std::string list = MultiStringBytes(bytes, size);
        WriteValue(sids.multivalue, Hex(static_cast<uint32_t>(list.size())), EncodeBase64(list.data(), list.size()));
        break;
      }
    }
    return true;
  });
}

bool SharedDOMKey::Read(void* buffer, unsigned size) {
  return TranslateExceptions(Operation::kIO, place_.section, [&] {
    if (buffer == nullptr && size > 0) throw IOException(kErrorFailed);
    const Snapshot value = TakeSnapshot(true, true);
    if (value.type == kUnknown) throw IOException(kErrorNoValue);
    const char* text = TextOf(value.value);
    switch (value.type) {
      case kInteger: {
        if (size < 4) throw IOException(kErrorFailed);
        const auto number = static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
        std::memcpy(buffer, &number, sizeof number);
        return true;
      }
      case kString: {
        // The size may belong to another text than the one held: never copy
        // beyond the text's own end.
        const size_t held = std::strlen(text) + 1;
        const size_t count = std::min<size_t>({size, ParseSize(value.size), held});
        if (count > 0) std::memcpy(buffer, text, count);
        return true;
      }
      default: {
        size_t capacity = size;
        return base64::Decode(text, std::strlen(text), buffer, &capacity);
      }
    }
  });
}

Type SharedDOMKey::GetType() {
  return TranslateExceptions(Operation::kIO, place_.section,
                             [&] { return FrameworkType(TakeSnapshot(false, false).type); });
}

unsigned SharedDOMKey::GetSize() {
  return TranslateExceptions(Operation::kIO, place_.section,
                             [&] { return ParseSize(TakeSnapshot(true, false).size); });
}

}  // namespace storage
