#include "base/Base64.h"

#include <array>
#include <cstdint>
#include <limits>

namespace storage::base64 {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 6-bit value of every byte; 0 for "=" and for bytes outside the alphabet.
constexpr std::array<uint8_t, 256> MakeDecodeTable() {
  std::array<uint8_t, 256> table{};
  for (uint8_t value = 0; value < 64; ++value) table[static_cast<unsigned char>(kAlphabet[value])] = value;
  return table;
}
constexpr std::array<uint8_t, 256> kDecodeTable = MakeDecodeTable();

uint32_t SextetAt(const char* source, size_t i) {
  return kDecodeTable[static_cast<unsigned char>(source[i])];
}

}  // namespace

bool Encode(const void* source, size_t n, char* destination, size_t* length) {
  if (length == nullptr) return false;
  size_t groups = n / 3 + (n % 3 != 0 ? 1 : 0);
  if (groups > std::numeric_limits<size_t>::max() / 4) return false;
  size_t needed = groups * 4;
  if (destination == nullptr) {
    *length = needed;
    return false;
  }
  if (*length < needed) return false;
  *length = needed;
  if (source == nullptr) return false;

  const auto* bytes = static_cast<const uint8_t*>(source);
  char* out = destination;
  size_t i = 0;
  for (; i + 3 <= n; i += 3) {
    uint32_t triple = (uint32_t{bytes[i]} << 16) | (uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
    *out++ = kAlphabet[(triple >> 18) & 0x3F];
    *out++ = kAlphabet[(triple >> 12) & 0x3F];
    *out++ = kAlphabet[(triple >> 6) & 0x3F];
    *out++ = kAlphabet[triple & 0x3F];
  }
  size_t left = n - i;
  if (left > 0) {
    uint32_t triple = uint32_t{bytes[i]} << 16;
    if (left == 2) triple |= uint32_t{bytes[i + 1]} << 8;
    *out++ = kAlphabet[(triple >> 18) & 0x3F];
    *out++ = kAlphabet[(triple >> 12) & 0x3F];
    *out++ = left == 2 ? kAlphabet[(triple >> 6) & 0x3F] : '=';
    *out++ = '=';
  }
  return true;
}

bool Decode(const char* source, size_t n, void* destination, size_t* length) {
  if (length == nullptr || source == nullptr || n % 4 != 0) return false;
  size_t decoded = n / 4 * 3;
  if (n >= 1 && source[n - 1] == '=') --decoded;
  if (n >= 2 && source[n - 2] == '=') --decoded;
  if (destination == nullptr) {
    *length = decoded;
    return false;
  }
  if (*length < decoded) return false;
  *length = decoded;

  auto* out = static_cast<uint8_t*>(destination);
  size_t written = 0;
  for (size_t i = 0; i < n; i += 4) {
    uint32_t triple = (SextetAt(source, i) << 18) | (SextetAt(source, i + 1) << 12) |
                      (SextetAt(source, i + 2) << 6) | SextetAt(source, i + 3);
    const uint8_t bytes[3] = {static_cast<uint8_t>(triple >> 16), static_cast<uint8_t>(triple >> 8),
                              static_cast<uint8_t>(triple)};
    // The padding bytes of the last group are not written.
    for (uint8_t byte : bytes) {
      if (written == decoded) break;
      out[written++] = byte;
    }
  }
  return true;
}

}  // namespace storage::base64
