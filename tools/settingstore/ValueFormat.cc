#include "ValueFormat.h"

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "CliError.h"

namespace cli {

namespace {

constexpr const char* kTypeNames[] = {"unset", "binary", "int", "string", "multi"};

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string EncodeHex(const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char byte : bytes) {
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0xF];
  }
  return text;
}

std::string EncodeInteger(const std::string& text) {
  char* end = nullptr;
  errno = 0;
  // Decimal, or hexadecimal after "0x": a leading zero is no octal prefix here.
  const size_t digits = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  const bool hexadecimal = text.size() > digits + 1 && text[digits] == '0' && (text[digits + 1] | 0x20) == 'x';
  const long long parsed = std::strtoll(text.c_str(), &end, hexadecimal ? 16 : 10);
  if (text.empty() || *end != '\0' || errno == ERANGE || parsed < INT32_MIN || parsed > INT32_MAX) {
    throw CliError(kUsage, "'" + text + "' is no 32-bit integer");
  }
  const int32_t number = static_cast<int32_t>(parsed);
  return std::string(reinterpret_cast<const char*>(&number), sizeof number);
}

// Each string with its NUL, and one more NUL to end the run.
std::string EncodeMultiString(const std::vector<std::string>& values) {
  std::string bytes;
  for (const std::string& value : values) {
    if (value.find('\0') != std::string::npos) throw CliError(kUsage, "a string holds no NUL");
    // An empty string would end the run and drop every string after it.
    if (value.empty()) throw CliError(kUsage, "a multi-string holds no empty string");
    bytes += value;
    bytes += '\0';
  }
  bytes += '\0';
  return bytes;
}

}  // namespace

const char* TypeName(storage::Type type) {
  if (type < storage::TYPE_UNKNOWN || type > storage::TYPE_MULTI_STRING) return "unknown";
  return kTypeNames[type];
}

storage::Type ParseTypeName(const std::string& name) {
  for (int type = storage::TYPE_BINARY; type <= storage::TYPE_MULTI_STRING; ++type) {
    if (name == kTypeNames[type]) return static_cast<storage::Type>(type);
  }
  throw CliError(kUsage, "unknown value type '" + name + "' (string, int, binary or multi)");
}

std::string FormatValue(storage::Type type, const std::string& bytes) {
  switch (type) {
    case storage::TYPE_INTEGER: {
      int32_t number = 0;
      if (bytes.size() < sizeof number) throw CliError(kFailure, "the integer value is too short");
      std::memcpy(&number, bytes.data(), sizeof number);
      return std::to_string(number) + "\n";
    }
    case storage::TYPE_BINARY:
      return EncodeHex(bytes) + "\n";
    case storage::TYPE_STRING:
      return bytes.substr(0, bytes.find('\0')) + "\n";
    case storage::TYPE_MULTI_STRING: {
      // The run ends at an empty string (two NULs in a row) or at its end.
      std::string text;
      size_t start = 0;
      while (start < bytes.size() && bytes[start] != '\0') {
        size_t end = bytes.find('\0', start);
        if (end == std::string::npos) end = bytes.size();
        text += bytes.substr(start, end - start) + "\n";
        start = end + 1;
      }
      return text;
    }
    default:
      throw CliError(kFailure, "the key holds no value");
  }
}

std::string EncodeValue(storage::Type type, const std::vector<std::string>& values) {
  if (type == storage::TYPE_MULTI_STRING) return EncodeMultiString(values);
  if (values.size() != 1)
    throw CliError(kUsage, std::string("a ") + TypeName(type) + " value is one argument");
  switch (type) {
    case storage::TYPE_INTEGER:
      return EncodeInteger(values[0]);
    case storage::TYPE_BINARY:
      return DecodeHex(values[0]);
    default:
      if (values[0].find('\0') != std::string::npos) throw CliError(kUsage, "a string holds no NUL");
      return values[0] + '\0';
  }
}

std::string DecodeHex(const std::string& text) {
  std::string digits;
  size_t start = text.rfind("0x", 0) == 0 || text.rfind("0X", 0) == 0 ? 2 : 0;
  for (size_t i = start; i < text.size(); ++i) {
    if (text[i] == ' ' || text[i] == '\t' || text[i] == '\n') continue;
    if (HexDigit(text[i]) < 0) throw CliError(kUsage, "'" + text + "' is no hexadecimal value");
    digits += text[i];
  }
  if (digits.size() % 2 != 0)
    throw CliError(kUsage, "'" + text + "' has an odd number of hexadecimal digits");
  std::string bytes;
  for (size_t i = 0; i < digits.size(); i += 2) {
    bytes += static_cast<char>(HexDigit(digits[i]) * 16 + HexDigit(digits[i + 1]));
  }
  return bytes;
}

}  // namespace cli
