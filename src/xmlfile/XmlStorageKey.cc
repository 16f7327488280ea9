#include "xmlfile/XmlStorageKey.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "base/Base64.h"
#include "base/Exceptions.h"

namespace storage {

namespace {

constexpr const char* kValue = "value";
constexpr const char* kType = "type";
constexpr const char* kSize = "size";
constexpr const char* kSubstring = "substring";

// Indexed by Type; 0 has no stored name.
constexpr const char* kTypeNames[] = {nullptr, "Binary", "Integer", "String", "MultiString"};

// The strings of a multi-string run of `size` bytes: each ends at its NUL or
// where the bytes run out; the run ends at a second NUL in a row. Even an
// empty run holds one (empty) string, so the key keeps a readable value.
std::vector<std::string> SplitMultiString(const char* data, unsigned size) {
  std::vector<std::string> strings;
  unsigned position = 0;
  for (;;) {
    const unsigned start = position;
    while (position < size && data[position] != '\0') ++position;
    strings.emplace_back(data + start, position - start);
    if (position >= size) break;
    ++position;  // past the NUL
    if (position >= size || data[position] == '\0') break;
  }
  return strings;
}

std::string EncodeBinary(const void* data, unsigned size) {
  size_t length = 0;
  base64::Encode(data, size, nullptr, &length);
  std::string text(length, '\0');
  if (size > 0) base64::Encode(data, size, text.data(), &length);
  return text;
}

// A decimal number that fits 32 bits, as a hand-edited file may not hold one.
int32_t ParseInteger(const char* text) {
  const long long parsed = std::strtoll(text, nullptr, 10);
  if (parsed > INT32_MAX) return INT32_MAX;
  if (parsed < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(parsed);
}

void ReadInteger(const char* value, void* buffer, unsigned size) {
  if (size < sizeof(int32_t)) throw IOException(kErrorBufferTooSmall);
  const int32_t number = ParseInteger(value);
  std::memcpy(buffer, &number, sizeof number);
}

// The type a "type" attribute names; unknown for a key never written.
Type TypeNamed(const char* name) {
  if (name == nullptr) return TYPE_UNKNOWN;
  // The initials differ, so one name needs comparing.
  const Type candidate = *name == 'S'   ? TYPE_STRING
                         : *name == 'I' ? TYPE_INTEGER
                         : *name == 'B' ? TYPE_BINARY
                                        : TYPE_MULTI_STRING;
  for (const char* expected = kTypeNames[candidate]; *name == *expected; ++name, ++expected) {
    if (*name == '\0') return candidate;
  }
  throw Exception(kErrorFailed);
}

// The "size" attribute as a decimal 32-bit number, if it is one.
std::optional<unsigned> StoredSize(const char* text) {
  if (text == nullptr || *text == '\0') return std::nullopt;
  unsigned long long parsed = 0;
  for (; *text != '\0'; ++text) {
    if (*text < '0' || *text > '9') return std::nullopt;
    parsed = parsed * 10 + static_cast<unsigned>(*text - '0');
    if (parsed > UINT_MAX) return std::nullopt;
  }
  return static_cast<unsigned>(parsed);
}

void ReadBinary(const char* value, const char* sizeText, void* buffer, unsigned size) {
  const size_t textLength = std::strlen(value);
  const std::optional<unsigned> stored = StoredSize(sizeText);
  size_t decodedLength = 0;
  // A text whose length is no multiple of four (edited by hand) is no
  // Base64 text at all.
  if (textLength % 4 != 0 || !stored) throw Exception(kErrorFailed);
  base64::Decode(value, textLength, nullptr, &decodedLength);
  if (decodedLength > size || *stored > size || *stored != decodedLength) throw Exception(kErrorFailed);
  if (decodedLength > 0) base64::Decode(value, textLength, buffer, &decodedLength);
}

void ReadString(const char* value, size_t length, const char* sizeText, void* buffer, unsigned size) {
  const std::optional<unsigned> stored = StoredSize(sizeText);
  // A "size" beyond the text and its NUL would read past the stored value.
  if (!stored || *stored > length + 1) throw Exception(kErrorFailed);
  if (*stored > size) throw IOException(kErrorBufferTooSmall);
  if (*stored > 0) std::memcpy(buffer, value, *stored);
}

}  // namespace

XmlStorageKeyBase::XmlStorageKeyBase(XmlNode* element) : element_(element) {}

void XmlStorageKeyBase::CheckLive() const { element_.Live<IOException>(); }

const char* XmlStorageKeyBase::Attribute(const char* name) const {
  return Element()->GetAttributeValue(name);
}

void XmlStorageKeyBase::SetAttribute(const char* name, const char* value) {
  const unsigned index = Element()->GetAttributeIndex(name);
  if (index == XmlNode::kNoAttribute) {
    Element()->AddAttribute(name, value);
  } else {
    Element()->SetAttributeValue(index, value);
  }
}

XmlStorageKey::XmlStorageKey(XmlNode* element) : XmlStorageKeyBase(element) {}

XmlStorageKey::ValueAttributes XmlStorageKey::FindValueAttributes() const {
  static constexpr std::string_view kNames[] = {kValue, kType, kSize};
  std::string_view values[3];
  Element()->GetAttributeValues(kNames, values, 3);
  return ValueAttributes{values[0].data(), values[0].size(), values[1].data(), values[2].data()};
}

Type XmlStorageKey::GetType() {
  CheckLive();
  return TypeNamed(Attribute(kType));
}

unsigned XmlStorageKey::GetSize() {
  CheckLive();
  const ValueAttributes attributes = FindValueAttributes();
  // Callers size their buffers by this, so a hand-edited "size" larger than
  // anything Read can fill would have them allocate gigabytes for nothing.
  return static_cast<unsigned>(
      std::min<size_t>(StoredSize(attributes.size).value_or(0), ReadableSize(attributes)));
}

size_t XmlStorageKey::ReadableSize(const ValueAttributes& attributes) const {
  const char* name = attributes.type;
  const char* value = attributes.value;
  if (name == nullptr) return 0;
  if (std::strcmp(name, kTypeNames[TYPE_INTEGER]) == 0) return sizeof(int32_t);
  if (std::strcmp(name, kTypeNames[TYPE_STRING]) == 0) {
    return value == nullptr ? 0 : attributes.valueLength + 1;
  }
  if (std::strcmp(name, kTypeNames[TYPE_BINARY]) == 0) {
    size_t decodedLength = 0;
    if (value != nullptr) base64::Decode(value, std::strlen(value), nullptr, &decodedLength);
    return decodedLength;
  }
  if (std::strcmp(name, kTypeNames[TYPE_MULTI_STRING]) != 0) return 0;
  size_t total = 1;  // the NUL that closes the run
  const XmlNodes* children = Element()->GetChildren();
  for (int index = 0; index < children->Size(); ++index) {
    const XmlNode* child = children->At(index);
    const char* childName = child->Name();
    const char* text = child->GetAttributeValue(kValue);
    if (childName != nullptr && std::strcmp(childName, kSubstring) == 0 && text != nullptr) {
      total += std::strlen(text) + 1;
    }
  }
  return total;
}

bool XmlStorageKey::Write(Type type, const void* data, unsigned size) {
  CheckLive();
  if (type < TYPE_BINARY || type > TYPE_MULTI_STRING) throw IOException(kErrorFailed);
  if (data == nullptr && size > 0) throw IOException(kErrorFailed);
  // Everything is worked out before the element changes, so a failed write
  // leaves the old value whole.
  const char* bytes = static_cast<const char*>(data);
  std::string value;
  unsigned recordedSize = size;
  std::vector<std::string> substrings;
  switch (type) {
    case TYPE_BINARY:
      value = EncodeBinary(data, size);
      break;
    case TYPE_INTEGER: {
      // Reading an integer out of fewer than 4 bytes would run past the data.
      if (size < sizeof(int32_t)) throw IOException(kErrorBufferTooSmall);
      int32_t number = 0;
      std::memcpy(&number, data, sizeof number);
      value = std::to_string(number);
      break;
    }
    case TYPE_STRING: {
      // Only the text up to its NUL, and never more than the size given.
      const void* nul = size == 0 ? nullptr : std::memchr(bytes, '\0', size);
      const size_t length = nul == nullptr ? size : static_cast<const char*>(nul) - bytes;
      recordedSize = static_cast<unsigned>(std::min<size_t>(length + 1, size));
      value.assign(bytes == nullptr ? "" : bytes, std::min<size_t>(length, recordedSize));
      break;
    }
    default:
      substrings = SplitMultiString(bytes == nullptr ? "" : bytes, size);
      break;
  }

  RemoveSubstrings();
  if (type != TYPE_MULTI_STRING) SetAttribute(kValue, value.c_str());
  SetAttribute(kType, kTypeNames[type]);
  SetAttribute(kSize, std::to_string(recordedSize).c_str());
  XmlNodes* children = Element()->GetChildren();
  for (const std::string& text : substrings) {
    std::unique_ptr<XmlNode> child(XmlNode::CreateNode());
    child->SetName(kSubstring);
    child->AddAttribute(kValue, text.c_str());
    children->Add(child.release());
  }
  return true;
}

void XmlStorageKey::RemoveSubstrings() {
  XmlNodes* children = Element()->GetChildren();
  for (int index = children->Size() - 1; index >= 0; --index) {
    const char* name = children->At(index)->Name();
    if (name != nullptr && std::strcmp(name, kSubstring) == 0) children->Delete(index);
  }
}

bool XmlStorageKey::Read(void* buffer, unsigned size) {
  CheckLive();
  const ValueAttributes attributes = FindValueAttributes();
  const Type type = TypeNamed(attributes.type);
  if (type == TYPE_UNKNOWN) throw IOException(kErrorNoValue);
  if (buffer == nullptr && size > 0) throw IOException(kErrorFailed);
  if (type == TYPE_MULTI_STRING) {
    ReadMultiString(buffer, size);
    return true;
  }
  const char* value = attributes.value;
  if (value == nullptr) throw IOException(kErrorFailed);
  switch (type) {
    case TYPE_BINARY:
      ReadBinary(value, attributes.size, buffer, size);
      break;
    case TYPE_INTEGER:
      ReadInteger(value, buffer, size);
      break;
    default:
      ReadString(value, attributes.valueLength, attributes.size, buffer, size);
      break;
  }
  return true;
}

void XmlStorageKey::ReadMultiString(void* buffer, unsigned size) const {
  char* out = static_cast<char*>(buffer);
  unsigned remaining = size;
  const XmlNodes* children = Element()->GetChildren();
  for (int index = 0; index < children->Size() && remaining > 0; ++index) {
    const XmlNode* child = children->At(index);
    const char* name = child->Name();
    const char* text = child->GetAttributeValue(kValue);
    if (name == nullptr || std::strcmp(name, kSubstring) != 0 || text == nullptr) continue;
    // Each string keeps its NUL, cutting its text when room runs short.
    const unsigned copied = static_cast<unsigned>(std::min<size_t>(std::strlen(text), remaining - 1));
    std::memcpy(out, text, copied);
    out[copied] = '\0';
    out += copied + 1;
    remaining -= copied + 1;
  }
  if (remaining > 0) *out = '\0';
}

}  // namespace storage
