#include "ValueCheck.h"

#include <array>
#include <charconv>
#include <cstring>

namespace stress {

namespace {

constexpr char kVersion[] = "V1";
// Mixed case on purpose: string values must keep their letters exactly.
constexpr char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.";

std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> table{};
  for (uint32_t i = 0; i < 256; ++i) {
    uint32_t c = i;
    for (int bit = 0; bit < 8; ++bit) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[i] = c;
  }
  return table;
}

uint64_t NextNoise(uint64_t& state) {
  state += 0x9E3779B97F4A7C15ull;
  uint64_t z = state;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::string Hex(uint64_t value) {
  char text[17];
  auto end = std::to_chars(text, text + sizeof text, value, 16).ptr;
  return std::string(text, end);
}

// "V1|location|writer|thread|sequence|payload": everything a check covers.
std::string StampText(const Stamp& stamp, const std::string& payload) {
  return std::string(kVersion) + "|" + stamp.location + "|" + std::to_string(stamp.writer) + "|" +
         std::to_string(stamp.thread) + "|" + std::to_string(stamp.sequence) + "|" + payload;
}

std::string PrintablePayload(uint64_t& noise, size_t length) {
  std::string payload;
  payload.reserve(length);
  for (size_t i = 0; i < length; ++i) payload += kAlphabet[NextNoise(noise) % (sizeof kAlphabet - 1)];
  return payload;
}

std::vector<std::string> SplitOn(const std::string& text, char separator) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t at = text.find(separator); at != std::string::npos; at = text.find(separator, start)) {
    parts.push_back(text.substr(start, at - start));
    start = at + 1;
  }
  parts.push_back(text.substr(start));
  return parts;
}

template <class Number>
bool ParseNumber(const std::string& text, Number& out, int base = 10) {
  if (text.empty()) return false;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), out, base);
  return error == std::errc() && end == text.data() + text.size();
}

// Checks "stamp|crc" text and fills `stamp` from it.
bool ParseCheckedText(const std::string& text, const std::string& location, Stamp& stamp, std::string& why) {
  const size_t bar = text.rfind('|');
  uint32_t crc = 0;
  // Only the exact digits written count: a case-folded check is a changed value.
  if (bar == std::string::npos || !ParseNumber(text.substr(bar + 1), crc, 16) ||
      Hex(crc) != text.substr(bar + 1)) {
    why = "no check field in '" + text + "'";
    return false;
  }
  const std::string body = text.substr(0, bar);
  if (Crc32(body.data(), body.size()) != crc) {
    why = "check mismatch in '" + text + "'";
    return false;
  }
  const std::vector<std::string> fields = SplitOn(body, '|');
  if (fields.size() != 6 || fields[0] != kVersion || !ParseNumber(fields[2], stamp.writer) ||
      !ParseNumber(fields[3], stamp.thread) || !ParseNumber(fields[4], stamp.sequence)) {
    why = "malformed fields in '" + text + "'";
    return false;
  }
  stamp.location = fields[1];
  if (stamp.location != location) {
    why = "value of " + stamp.location + " found in " + location;
    return false;
  }
  return true;
}

void PutWord(std::vector<char>& bytes, uint32_t word) {
  for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<char>((word >> (8 * i)) & 0xFF));
}

uint32_t GetWord(const char* bytes) {
  uint32_t word = 0;
  for (int i = 0; i < 4; ++i) word |= uint32_t(static_cast<unsigned char>(bytes[i])) << (8 * i);
  return word;
}

uint32_t IntegerCheck(const std::string& location, uint32_t payload) {
  return Crc32(location.data(), location.size(), payload) & 0xFFFF;
}

}  // namespace

uint32_t Crc32(const void* data, size_t length, uint32_t seed) {
  static const std::array<uint32_t, 256> table = MakeCrcTable();
  uint32_t crc = ~seed;
  const auto* bytes = static_cast<const unsigned char*>(data);
  for (size_t i = 0; i < length; ++i) crc = table[(crc ^ bytes[i]) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

EncodedValue Encode(storage::Type type, const Stamp& stamp, uint64_t noise, size_t payloadLength) {
  EncodedValue value;
  value.type = type;
  switch (type) {
    case storage::TYPE_INTEGER: {
      const uint32_t payload = static_cast<uint32_t>(NextNoise(noise) & 0xFFFF);
      const uint32_t word = (payload << 16) | IntegerCheck(stamp.location, payload);
      value.bytes.resize(4);
      std::memcpy(value.bytes.data(), &word, 4);
      break;
    }
    case storage::TYPE_STRING: {
      const std::string body = StampText(stamp, PrintablePayload(noise, payloadLength));
      const std::string text = body + "|" + Hex(Crc32(body.data(), body.size()));
      value.bytes.assign(text.begin(), text.end());
      value.bytes.push_back('\0');
      break;
    }
    case storage::TYPE_MULTI_STRING: {
      const std::string body = StampText(stamp, PrintablePayload(noise, payloadLength));
      for (const std::string& part : SplitOn(body + "|" + Hex(Crc32(body.data(), body.size())), '|')) {
        value.bytes.insert(value.bytes.end(), part.begin(), part.end());
        value.bytes.push_back('\0');
      }
      value.bytes.push_back('\0');
      break;
    }
    case storage::TYPE_BINARY: {
      // Raw bytes of every value, zeros and case-differing letters included,
      // behind a length word so that a read can tell where the value ends.
      const std::string body = StampText(stamp, "");
      value.bytes.resize(4);
      value.bytes.insert(value.bytes.end(), body.begin(), body.end());
      value.bytes.push_back('\0');
      for (size_t i = 0; i < payloadLength; ++i)
        value.bytes.push_back(static_cast<char>(NextNoise(noise) & 0xFF));
      const uint32_t total = static_cast<uint32_t>(value.bytes.size() + 4);
      for (int i = 0; i < 4; ++i) value.bytes[i] = static_cast<char>((total >> (8 * i)) & 0xFF);
      PutWord(value.bytes, Crc32(value.bytes.data(), value.bytes.size()));
      break;
    }
    default:
      break;
  }
  return value;
}

std::optional<Stamp> Decode(storage::Type type, const char* buffer, size_t length,
                            const std::string& location, std::string& why) {
  Stamp stamp;
  switch (type) {
    case storage::TYPE_INTEGER: {
      if (length < 4) {
        why = "integer shorter than 4 bytes";
        return std::nullopt;
      }
      uint32_t word = 0;
      std::memcpy(&word, buffer, 4);
      if ((word & 0xFFFF) != IntegerCheck(location, word >> 16)) {
        why = "integer " + Hex(word) + " fails the check of " + location;
        return std::nullopt;
      }
      stamp.location = location;
      return stamp;
    }
    case storage::TYPE_STRING: {
      const void* end = std::memchr(buffer, '\0', length);
      if (end == nullptr) {
        why = "string without its terminator";
        return std::nullopt;
      }
      const std::string text(buffer, static_cast<const char*>(end));
      if (!ParseCheckedText(text, location, stamp, why)) return std::nullopt;
      return stamp;
    }
    case storage::TYPE_MULTI_STRING: {
      std::string joined;
      size_t at = 0;
      bool closed = false;
      while (at < length) {
        const void* end = std::memchr(buffer + at, '\0', length - at);
        if (end == nullptr) break;
        const size_t partLength = static_cast<const char*>(end) - (buffer + at);
        if (partLength == 0) {
          closed = true;
          break;
        }
        if (!joined.empty()) joined += '|';
        joined.append(buffer + at, partLength);
        at += partLength + 1;
      }
      if (!closed) {
        why = "multi-string without its closing empty string";
        return std::nullopt;
      }
      if (!ParseCheckedText(joined, location, stamp, why)) return std::nullopt;
      return stamp;
    }
    case storage::TYPE_BINARY: {
      const uint32_t total = length >= 4 ? GetWord(buffer) : 0;
      if (total < 10 || total > length) {
        why = "binary length word " + std::to_string(total) + " outside the " + std::to_string(length) +
              " bytes read";
        return std::nullopt;
      }
      if (Crc32(buffer, total - 4) != GetWord(buffer + total - 4)) {
        why = "binary check mismatch";
        return std::nullopt;
      }
      const void* end = std::memchr(buffer + 4, '\0', total - 8);
      if (end == nullptr) {
        why = "binary without its stamp";
        return std::nullopt;
      }
      const std::string body(buffer + 4, static_cast<const char*>(end));
      const std::string text = body + "|" + Hex(Crc32(body.data(), body.size()));
      if (!ParseCheckedText(text, location, stamp, why)) return std::nullopt;
      return stamp;
    }
    default:
      why = "value of type " + std::to_string(static_cast<int>(type));
      return std::nullopt;
  }
}

}  // namespace stress
