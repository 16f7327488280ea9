#include "xml/XmlEncoding.h"

#include <cstdint>

namespace xmltext {

namespace {

constexpr uint32_t kControlBase = 0xE000;
constexpr char kHexDigits[] = "0123456789abcdef";

bool IsAsciiLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }
bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (IsAsciiDigit(c)) return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The markup characters, and the whitespace that attribute-value
// normalisation would turn into blanks; empty for any other byte.
std::string_view CharacterReference(char c) {
  switch (c) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return "&quot;";
    case '\t':
      return "&#9;";
    case '\n':
      return "&#10;";
    case '\r':
      return "&#13;";
    default:
      return {};
  }
}

}  // namespace

bool IsPlainName(std::string_view name) {
  if (name.empty() || name.starts_with(kReservedPrefix)) return false;
  if (!IsAsciiLetter(name[0]) && name[0] != '_') return false;
  for (char c : name) {
    if (!IsAsciiLetter(c) && !IsAsciiDigit(c) && c != '_' && c != '.' && c != '-') return false;
  }
  return true;
}

bool IsUtf8Text(std::string_view bytes) {
  for (size_t i = 0; i < bytes.size();) {
    const auto lead = static_cast<unsigned char>(bytes[i]);
    if (lead < 0x80) {
      ++i;
      continue;
    }
    const size_t length = lead >= 0xC2 && lead <= 0xDF   ? 2
                          : lead >= 0xE0 && lead <= 0xEF ? 3
                          : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                         : 0;
    if (length == 0 || length > bytes.size() - i) return false;
    uint32_t code = lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3Fu);
    }
    const uint32_t smallest = length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
    if (code < smallest || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE ||
        code == 0xFFFF) {
      return false;
    }
    i += length;
  }
  return true;
}

void AppendEscaped(std::string& out, std::string_view bytes) {
  for (char c : bytes) {
    auto byte = static_cast<unsigned char>(c);
    if (std::string_view reference = CharacterReference(c); !reference.empty()) {
      out += reference;
    } else if (byte < 0x20) {
      out += "&#xe0";
      out += kHexDigits[byte >> 4];
      out += kHexDigits[byte & 0xF];
      out += ';';
    } else {
      out += c;
    }
  }
}

std::string EncodedAttributeName(unsigned index, std::string_view name) {
  std::string written(kAttributePrefix);
  written += std::to_string(index);
  written += '-';
  for (char c : name) {
    auto byte = static_cast<unsigned char>(c);
    written += kHexDigits[byte >> 4];
    written += kHexDigits[byte & 0xF];
  }
  return written;
}

std::optional<std::string> DecodedAttributeName(std::string_view written) {
  if (!written.starts_with(kAttributePrefix)) return std::nullopt;
  written.remove_prefix(kAttributePrefix.size());
  size_t dash = written.find('-');
  if (dash == 0 || dash == std::string_view::npos) return std::nullopt;
  for (size_t i = 0; i < dash; ++i) {
    if (!IsAsciiDigit(written[i])) return std::nullopt;
  }
  std::string_view hex = written.substr(dash + 1);
  if (hex.size() % 2 != 0) return std::nullopt;
  std::string name;
  for (size_t i = 0; i < hex.size(); i += 2) {
    int high = HexValue(hex[i]);
    int low = HexValue(hex[i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    auto byte = static_cast<char>(high << 4 | low);
    if (byte == '\0') return std::nullopt;  // names end at their NUL
    name += byte;
  }
  return name;
}

std::string BytesFromUtf8(std::string_view utf8) {
  std::string bytes;
  bytes.reserve(utf8.size());
  for (size_t i = 0; i < utf8.size();) {
    auto lead = static_cast<unsigned char>(utf8[i]);
    size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (length > utf8.size() - i) length = utf8.size() - i;
    uint32_t code = length == 1 ? lead : lead & (0x7Fu >> length);
    for (size_t k = 1; k < length; ++k) code = code << 6 | (static_cast<unsigned char>(utf8[i + k]) & 0x3Fu);
    if (code <= 0xFF) {
      bytes += static_cast<char>(code);
    } else if (code > kControlBase && code < kControlBase + 0x20) {
      bytes += static_cast<char>(code - kControlBase);
    } else {
      bytes.append(utf8.substr(i, length));
    }
    i += length;
  }
  return bytes;
}

}  // namespace xmltext
