#include "RegFormat.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <utility>

namespace cli::exchange {

namespace {

constexpr const char* kHeader5 = "Windows Registry Editor Version 5.00";
constexpr const char* kHeader4 = "REGEDIT4";
constexpr const char* kLineEnd = "\r\n";
// regedit breaks hex data before a line passes this column.
constexpr size_t kHexColumns = 76;

// Code page 1252 from 80 to 9F; the rest of the page is Latin-1. The five
// holes keep their own code, as Windows converts them.
constexpr char16_t kCp1252High[32] = {0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
                                      0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
                                      0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
                                      0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t ToUtf16(unsigned char byte) { return byte >= 0x80 && byte < 0xA0 ? kCp1252High[byte - 0x80] : byte; }

std::optional<char> FromUtf16(char16_t unit) {
  if (unit < 0x80 || (unit >= 0xA0 && unit <= 0xFF)) return static_cast<char>(unit);
  for (int index = 0; index < 32; ++index) {
    if (kCp1252High[index] == unit) return static_cast<char>(0x80 + index);
  }
  return std::nullopt;
}

// Each byte as its code page 1252 character in UTF-16LE.
std::string Utf16Bytes(const std::string& bytes) {
  std::string wide;
  wide.reserve(bytes.size() * 2);
  for (unsigned char byte : bytes) {
    const char16_t unit = ToUtf16(byte);
    wide += static_cast<char>(unit & 0xFF);
    wide += static_cast<char>(unit >> 8);
  }
  return wide;
}

// ---------------------------------------------------------------------------
// Writing

bool HasLineBreak(const std::string& text) { return text.find_first_of("\r\n") != std::string::npos; }

std::string Quote(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"') quoted += '\\';
    if (c == '\n' || c == '\r') {
      // Only a name can hold one here; Wine's regedit reads these escapes.
      quoted += c == '\n' ? "\\n" : "\\r";
      continue;
    }
    quoted += c;
  }
  return quoted + "\"";
}

void AppendHex(std::string& line, const std::string& bytes) {
  static const char kDigits[] = "0123456789abcdef";
  size_t column = line.size();
  for (size_t index = 0; index < bytes.size(); ++index) {
    const unsigned char byte = static_cast<unsigned char>(bytes[index]);
    line += kDigits[byte >> 4];
    line += kDigits[byte & 0xF];
    column += 2;
    if (index + 1 == bytes.size()) break;
    line += ',';
    if (++column >= kHexColumns) {
      line += "\\";
      line += kLineEnd;
      line += "  ";
      column = 2;
    }
  }
}

std::string ValueText(const std::string& name, const Value& value, int version) {
  std::string line = name.empty() ? "@=" : Quote(name) + "=";
  const std::string& bytes = value.bytes;
  // Text in hex(1) and hex(7) is UTF-16 in a 5.00 file.
  const auto appendText = [&](const char* prefix) {
    line += prefix;
    AppendHex(line, version == 5 ? Utf16Bytes(bytes) : bytes);
  };
  switch (value.type) {
    case storage::TYPE_INTEGER: {
      if (bytes.size() != 4) throw CliError(kFailure, "the integer \"" + name + "\" is not four bytes");
      uint32_t number = 0;
      for (int index = 3; index >= 0; --index)
        number = number << 8 | static_cast<unsigned char>(bytes[index]);
      char digits[16];
      std::snprintf(digits, sizeof digits, "dword:%08x", static_cast<unsigned>(number));
      line += digits;
      break;
    }
    case storage::TYPE_STRING:
      if (!bytes.empty() && bytes.find('\0') == bytes.size() - 1 && !HasLineBreak(bytes)) {
        line += Quote(bytes.substr(0, bytes.size() - 1));
      } else {
        appendText("hex(1):");
      }
      break;
    case storage::TYPE_BINARY:
      line += "hex:";
      AppendHex(line, bytes);
      break;
    case storage::TYPE_MULTI_STRING:
      appendText("hex(7):");
      break;
    default:
      throw CliError(kFailure, "the key \"" + name + "\" holds no value");
  }
  return line + kLineEnd;
}

// Depth first with a stack of its own, as a tree may nest deeper than the
// call stack reaches.
void WriteTree(std::string& text, const Section& tree, const std::string& rootPath, int version) {
  std::vector<std::pair<const Section*, std::string>> pending = {{&tree, rootPath}};
  while (!pending.empty()) {
    auto [section, path] = std::move(pending.back());
    pending.pop_back();
    text += "[" + path + "]" + kLineEnd;
    for (const auto& [name, value] : section->keys) text += ValueText(name, value, version);
    text += kLineEnd;
    for (auto child = section->sections.rbegin(); child != section->sections.rend(); ++child) {
      const std::string& name = child->first;
      if (name.empty() || name.find('\\') != std::string::npos || HasLineBreak(name)) {
        throw CliError(kFailure, "the section name \"" + name + "\" cannot be written to a .reg file");
      }
      pending.emplace_back(&child->second, path + "\\" + name);
    }
  }
}

// ---------------------------------------------------------------------------
// Reading

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameText(const std::string& left, const std::string& right) {
  if (left.size() != right.size()) return false;
  for (size_t index = 0; index < left.size(); ++index) {
    if (Lower(left[index]) != Lower(right[index])) return false;
  }
  return true;
}

std::vector<std::string> SplitPath(const std::string& path) {
  std::vector<std::string> levels;
  size_t start = 0;
  for (;;) {
    const size_t end = path.find('\\', start);
    levels.push_back(path.substr(start, end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  // The root keys go by a short name too.
  static const char* const kHives[][2] = {{"HKCU", "HKEY_CURRENT_USER"},
                                          {"HKLM", "HKEY_LOCAL_MACHINE"},
                                          {"HKCR", "HKEY_CLASSES_ROOT"},
                                          {"HKU", "HKEY_USERS"},
                                          {"HKCC", "HKEY_CURRENT_CONFIG"}};
  for (const auto& hive : kHives) {
    if (SameText(levels[0], hive[0])) levels[0] = hive[1];
  }
  return levels;
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  c = Lower(c);
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// One logical line: its text and the line of the file where it starts.
struct Line {
  std::string text;
  int number = 0;
};

class Reader {
 public:
  Reader(const std::string& fileBytes, const std::string& rootPath) : root_(SplitPath(rootPath)) {
    Decode(fileBytes);
  }

  std::vector<Change> Read() {
    std::vector<Line> lines = Logical();
    if (lines.empty() || lines[0].number != 1) throw InputError(1, 0, "not a .reg file: no header line");
    const std::string& header = lines[0].text;
    if (header == kHeader5) {
      version_ = 5;
    } else if (header == kHeader4) {
      version_ = 4;
    } else {
      throw InputError(1, 0,
                       std::string("not a .reg file: the first line is neither \"") + kHeader5 + "\" nor \"" +
                           kHeader4 + "\"");
    }
    if (version_ == 5 && !wide_) RequireAscii();
    for (size_t index = 1; index < lines.size(); ++index) {
      line_ = lines[index].number;
      Entry(lines[index].text);
    }
    return std::move(changes_);
  }

 private:
  [[noreturn]] void Fail(const std::string& message) const { throw InputError(line_, 0, message); }

  // The file as 8-bit text: UTF-16LE after its byte-order mark through code
  // page 1252, anything else as it is.
  void Decode(const std::string& bytes) {
    if (bytes.rfind("\xFE\xFF", 0) == 0)
      throw InputError(1, 0, "UTF-16 big-endian is not read; save the file as UTF-16LE");
    if (bytes.rfind("\xFF\xFE", 0) != 0) {
      text_ = bytes.rfind("\xEF\xBB\xBF", 0) == 0 ? bytes.substr(3) : bytes;
      return;
    }
    wide_ = true;
    text_ = Narrow(bytes.substr(2), 1, true);
  }

  // UTF-16LE text to our bytes; a character outside code page 1252 fails
  // naming its line: `line`, and the lines after it when the text is the
  // whole file.
  static std::string Narrow(const std::string& wide, int line, bool countLines) {
    if (wide.size() % 2 != 0) throw InputError(line, 0, "UTF-16 text of an odd number of bytes");
    std::string narrow;
    for (size_t index = 0; index < wide.size(); index += 2) {
      const char16_t unit = static_cast<char16_t>(static_cast<unsigned char>(wide[index]) |
                                                  static_cast<unsigned char>(wide[index + 1]) << 8);
      const std::optional<char> byte = FromUtf16(unit);
      if (!byte) {
        char code[16];
        std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(unit));
        throw InputError(line, 0, std::string("the character ") + code + " has no place in code page 1252");
      }
      narrow += *byte;
      if (*byte == '\n' && countLines) ++line;
    }
    return narrow;
  }

  void RequireAscii() {
    int number = 1;
    for (char c : text_) {
      if (c == '\n') ++number;
      if (static_cast<unsigned char>(c) >= 0x80) {
        throw InputError(
            number, 0,
            "a version 5.00 file is UTF-16LE with its byte-order mark; without one only plain ASCII "
            "is read (use REGEDIT4 for 8-bit text)");
      }
    }
  }

  // The lines, right-trimmed and without blank ones or comments; a value
  // line ending in '\' goes on on the next line.
  std::vector<Line> Logical() const {
    std::vector<Line> lines;
    bool continued = false;
    size_t start = 0;
    for (int number = 1; start <= text_.size(); ++number) {
      size_t end = text_.find('\n', start);
      if (end == std::string::npos) end = text_.size();
      std::string text = text_.substr(start, end - start);
      start = end + 1;
      if (text.find('\0') != std::string::npos) throw InputError(number, 0, "a NUL character in the text");
      while (!text.empty() && (text.back() == '\r' || IsBlank(text.back()))) text.pop_back();
      size_t first = 0;
      while (first < text.size() && IsBlank(text[first])) ++first;
      text.erase(0, first);
      if (continued) {
        lines.back().text += text;
      } else {
        if (text.empty() || text[0] == ';') continue;
        lines.push_back({text, number});
      }
      Line& last = lines.back();
      continued = (last.text[0] == '"' || last.text[0] == '@') && last.text.back() == '\\';
      if (continued) last.text.pop_back();
    }
    return lines;
  }

  void Entry(const std::string& text) {
    if (text[0] == '[') {
      if (text.back() != ']') Fail("a section line ends in ']'");
      const bool remove = text.size() > 1 && text[1] == '-';
      const std::string path = text.substr(remove ? 2 : 1, text.size() - (remove ? 3 : 2));
      section_ = Below(path);
      // An import adds to its section and never takes the section itself away.
      if (remove && section_->empty())
        Fail("[-" + path + "] would delete the section the file is imported into");
      inDeleted_ = remove;
      changes_.push_back(
          {remove ? Change::Kind::kDeleteSection : Change::Kind::kCreateSection, *section_, "", {}});
      return;
    }
    if (text[0] != '"' && text[0] != '@') Fail("neither a [section] nor a \"name\"=value line");
    if (!section_) Fail("a value before the first [section]");
    if (inDeleted_) Fail("a value in a section the file deletes");
    size_t position = 0;
    std::string name;
    if (text[0] == '@') {
      position = 1;
    } else {
      name = QuotedText(text, position);
    }
    while (position < text.size() && IsBlank(text[position])) ++position;
    if (position >= text.size() || text[position] != '=') Fail("'=' expected after the name");
    ++position;
    while (position < text.size() && IsBlank(text[position])) ++position;
    Change change{Change::Kind::kSetValue, *section_, name, {}};
    if (text.compare(position, 1, "-") == 0) {
      change.kind = Change::Kind::kDeleteKey;
      ++position;
    } else {
      change.value = ValueAt(text, position);
    }
    while (position < text.size() && IsBlank(text[position])) ++position;
    if (position < text.size() && text[position] != ';') Fail("unexpected text after the value");
    changes_.push_back(std::move(change));
  }

  // The path below the root that `path` names.
  std::string Below(const std::string& path) const {
    const std::vector<std::string> levels = SplitPath(path);
    bool below = levels.size() >= root_.size();
    for (size_t index = 0; below && index < root_.size(); ++index)
      below = SameText(levels[index], root_[index]);
    if (!below) {
      std::string root;
      for (const std::string& level : root_) root += (root.empty() ? "" : "\\") + level;
      Fail("[" + path + "] is not " + root + " or below it");
    }
    std::string relative;
    for (size_t index = root_.size(); index < levels.size(); ++index) {
      const std::string& level = levels[index];
      if (level.empty() || level.find_first_of("/:") != std::string::npos) {
        Fail("the section name \"" + level + "\" in [" + path + "] is empty or holds '/' or ':'");
      }
      relative += (relative.empty() ? "" : "\\") + level;
    }
    return relative;
  }

  // The text of a quoted string starting at `position`, which ends past it.
  std::string QuotedText(const std::string& text, size_t& position) const {
    std::string value;
    for (++position; position < text.size(); ++position) {
      char c = text[position];
      if (c == '"') {
        ++position;
        return value;
      }
      if (c == '\\') {
        if (++position >= text.size()) break;
        c = text[position];
        if (c == 'n') {
          c = '\n';
        } else if (c == 'r') {
          c = '\r';
        } else if (c != '\\' && c != '"') {
          Fail(std::string("unknown escape \"\\") + c + "\" in a string");
        }
      }
      value += c;
    }
    Fail("unterminated string");
  }

  Value ValueAt(const std::string& text, size_t& position) {
    if (text.compare(position, 1, "\"") == 0) {
      return {storage::TYPE_STRING, QuotedText(text, position) + '\0'};
    }
    if (text.compare(position, 6, "dword:") == 0) {
      position += 6;
      uint32_t number = 0;
      size_t digits = 0;
      for (; position < text.size() && HexDigit(text[position]) >= 0; ++position, ++digits) {
        number = number << 4 | static_cast<uint32_t>(HexDigit(text[position]));
      }
      if (digits == 0) Fail("a dword holds hexadecimal digits");
      if (digits > 8)
        Fail("the dword " + text.substr(position - digits, digits) + " is too large for 32 bits");
      std::string bytes;
      for (int shift = 0; shift < 32; shift += 8) bytes += static_cast<char>(number >> shift & 0xFF);
      return {storage::TYPE_INTEGER, bytes};
    }
    int kind = 3;
    if (text.compare(position, 4, "hex:") == 0) {
      position += 4;
    } else if (text.compare(position, 4, "hex(") == 0) {
      const size_t close = text.find("):", position);
      const std::string code =
          close == std::string::npos ? "" : text.substr(position + 4, close - position - 4);
      kind = code.empty() || code.size() > 4 ? -1 : 0;
      for (char c : code) kind = kind < 0 || HexDigit(c) < 0 ? -1 : kind * 16 + HexDigit(c);
      if (kind != 0 && kind != 1 && kind != 2 && kind != 3 && kind != 4 && kind != 7) {
        Fail("unknown value type \"" +
             text.substr(position, close == std::string::npos ? 4 : close + 1 - position) + "\"");
      }
      position = close + 2;
    } else {
      Fail("unknown value type \"" + text.substr(position, text.find_first_of(":;", position) - position) +
           "\"");
    }
    std::string bytes = HexList(text, position);
    switch (kind) {
      case 4:
        if (bytes.size() != 4) Fail("a hex(4) dword holds four bytes");
        return {storage::TYPE_INTEGER, bytes};
      case 1:
      case 2:
      case 7:
        if (version_ == 5) bytes = Narrow(bytes, line_, false);
        return {kind == 7 ? storage::TYPE_MULTI_STRING : storage::TYPE_STRING, bytes};
      default:
        return {storage::TYPE_BINARY, bytes};
    }
  }

  // Comma-separated pairs of hexadecimal digits.
  std::string HexList(const std::string& text, size_t& position) const {
    std::string bytes;
    const auto skipBlanks = [&] {
      while (position < text.size() && IsBlank(text[position])) ++position;
    };
    skipBlanks();
    if (position >= text.size() || text[position] == ';') return bytes;
    for (;;) {
      size_t digits = 0;
      int byte = 0;
      for (; position < text.size() && HexDigit(text[position]) >= 0; ++position, ++digits) {
        byte = byte * 16 + HexDigit(text[position]);
      }
      if (digits != 2) Fail("hexadecimal bytes are two digits each, separated by commas");
      bytes += static_cast<char>(byte);
      skipBlanks();
      if (position >= text.size() || text[position] != ',') return bytes;
      ++position;
      skipBlanks();
    }
  }

  std::vector<std::string> root_;
  std::string text_;
  bool wide_ = false;
  int version_ = 0;
  int line_ = 0;
  std::optional<std::string> section_;
  bool inDeleted_ = false;
  std::vector<Change> changes_;
};

}  // namespace

std::string WriteReg(const Section& tree, const std::string& rootPath, int version) {
  if (version != 4 && version != 5) throw CliError(kUsage, "a .reg file is version 4 or 5");
  if (rootPath.empty() || HasLineBreak(rootPath)) throw CliError(kUsage, "a .reg file needs a root path");
  std::string text = std::string(version == 5 ? kHeader5 : kHeader4) + kLineEnd + kLineEnd;
  WriteTree(text, tree, rootPath, version);
  return version == 5 ? "\xFF\xFE" + Utf16Bytes(text) : text;
}

std::vector<Change> ReadReg(const std::string& fileBytes, const std::string& rootPath) {
  return Reader(fileBytes, rootPath).Read();
}

}  // namespace cli::exchange
