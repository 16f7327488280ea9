#include "exchange/JsonFormat.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <string_view>
#include <utility>

#include "base/Base64.h"
#include "exchange/Transfer.h"
#include "xml/XmlEncoding.h"

namespace cli::exchange {

namespace {

// Members keep the order given, so that "type" comes first.
using Json = nlohmann::ordered_json;

// Names can hold no NUL, so a member name that starts or ends with one is
// never a real name: it marks a name in Base64, or a key that shares its name
// with a sibling section.
constexpr std::string_view kBase64Name{"\0base64:", 8};

std::string EncodeBase64(std::string_view bytes) {
  size_t length = 0;
  storage::base64::Encode(bytes.data(), bytes.size(), nullptr, &length);
  std::string text(length, '\0');
  storage::base64::Encode(bytes.data(), bytes.size(), text.data(), &length);
  return text;
}

// Padded Base64 without blanks; nullopt for anything else (the decoder
// itself takes any character as some bits).
std::optional<std::string> DecodeBase64(std::string_view text) {
  const size_t padding = text.ends_with("==") ? 2 : text.ends_with("=") ? 1 : 0;
  const std::string_view digits = text.substr(0, text.size() - padding);
  if (text.size() % 4 != 0 ||
      digits.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/") !=
          std::string_view::npos) {
    return std::nullopt;
  }
  size_t length = 0;
  storage::base64::Decode(text.data(), text.size(), nullptr, &length);
  std::string bytes(length, '\0');
  if (!text.empty() && !storage::base64::Decode(text.data(), text.size(), bytes.data(), &length))
    return std::nullopt;
  return bytes;
}

std::string WrittenName(const std::string& name) {
  return xmltext::IsUtf8Text(name) ? name : std::string(kBase64Name) + EncodeBase64(name);
}

// The strings of a multi-string in the form `set` writes (each non-empty with
// its NUL, one more NUL at the end), when all are UTF-8 text.
std::optional<std::vector<std::string>> TextsOf(const std::string& bytes) {
  if (bytes.empty() || bytes.back() != '\0') return std::nullopt;
  std::vector<std::string> texts;
  size_t start = 0;
  while (start + 1 < bytes.size()) {
    const size_t end = bytes.find('\0', start);
    if (end == start) return std::nullopt;
    texts.push_back(bytes.substr(start, end - start));
    if (!xmltext::IsUtf8Text(texts.back())) return std::nullopt;
    start = end + 1;
  }
  if (start + 1 != bytes.size()) return std::nullopt;
  return texts;
}

Json ValueJson(const Value& value) {
  const std::string& bytes = value.bytes;
  switch (value.type) {
    case storage::TYPE_INTEGER: {
      int32_t number = 0;
      std::memcpy(&number, bytes.data(), std::min(bytes.size(), sizeof number));
      return {{"type", "integer"}, {"value", number}};
    }
    case storage::TYPE_STRING:
      if (!bytes.empty() && bytes.find('\0') == bytes.size() - 1 &&
          xmltext::IsUtf8Text(std::string_view(bytes).substr(0, bytes.size() - 1))) {
        return {{"type", "string"}, {"value", bytes.substr(0, bytes.size() - 1)}};
      }
      return {{"type", "string"}, {"base64", EncodeBase64(bytes)}};
    case storage::TYPE_BINARY:
      return {{"type", "binary"}, {"value", EncodeBase64(bytes)}};
    case storage::TYPE_MULTI_STRING:
      if (std::optional<std::vector<std::string>> texts = TextsOf(bytes)) {
        return {{"type", "multi-string"}, {"value", *texts}};
      }
      return {{"type", "multi-string"}, {"base64", EncodeBase64(bytes)}};
    case storage::TYPE_UNKNOWN:
      return {{"type", "unset"}};
  }
  throw CliError(kFailure,
                 "a key holds a value of type " + std::to_string(value.type) + ", which JSON cannot carry");
}

// Whitespace means nothing to a reader, so deeper levels share one indent;
// this keeps the text of a very deep tree linear in its size.
constexpr size_t kMaxIndentLevels = 64;

std::string Indent(size_t level) { return std::string(2 * std::min(level, kMaxIndentLevels), ' '); }

// A section being written: its members are its keys, then its sections.
struct Writing {
  explicit Writing(const Section& written) : section(&written) {
    for (const auto& [name, child] : written.sections) sectionNames.insert(WrittenName(name));
  }
  const Section* section;
  size_t next = 0;
  std::set<std::string> sectionNames;
};

// The text handed to the parser through an iterator that records how far
// the parser has read, so that each event can be placed in the text.
class TrackedIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  TrackedIterator(const char* at, const char** furthest) : at_(at), furthest_(furthest) {}
  reference operator*() const { return *at_; }
  TrackedIterator& operator++() {
    *furthest_ = ++at_;
    return *this;
  }
  TrackedIterator operator++(int) {
    TrackedIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const TrackedIterator& other) const { return at_ == other.at_; }
  bool operator!=(const TrackedIterator& other) const { return at_ != other.at_; }

 private:
  const char* at_;
  const char** furthest_;
};

std::string LowerAscii(std::string text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

std::string Quoted(const std::string& text) { return "'" + text + "'"; }

// Builds the changes as the parser reports the document, without a tree in
// between: an object is a section until its first member shows it to be a
// typed value (a member that is no object).
class Reader {
 public:
  using string_t = Json::string_t;

  Reader(const std::string& text, const char** furthest) : text_(text), furthest_(furthest) {}

  std::vector<Change> TakeChanges() { return std::move(changes_); }

  bool start_object(std::size_t) {
    if (stack_.empty()) {
      stack_.emplace_back(Frame::Kind::kSection);
      return true;
    }
    Frame& top = stack_.back();
    if (top.kind == Frame::Kind::kUndecided) {
      BecomeSection();
      top.member = DecodedName(top.member, top.memberAt);
    } else if (top.kind != Frame::Kind::kSection) {
      Fail(Here(), "a typed value holds no object");
    }
    Frame item(Frame::Kind::kUndecided);
    item.name = top.member;
    item.at = top.memberAt;
    stack_.push_back(std::move(item));
    return true;
  }

  bool key(string_t& name) {
    Frame& top = stack_.back();
    top.memberAt = Here();
    if (top.kind == Frame::Kind::kSection) {
      top.member = DecodedName(name, top.memberAt);
    } else if (top.kind == Frame::Kind::kUndecided) {
      top.member = name;
    } else {
      CheckField(top, name);
    }
    return true;
  }

  bool end_object() {
    Frame& top = stack_.back();
    if (top.kind == Frame::Kind::kUndecided) BecomeSection();
    if (top.kind == Frame::Kind::kKey) FinishKey();
    stack_.pop_back();
    return true;
  }

  bool string(string_t& text) {
    if (!stack_.empty() && stack_.back().kind == Frame::Kind::kStrings) {
      stack_.back().texts.push_back(std::move(text));
      return true;
    }
    Frame& key = FieldFrame();
    if (key.member == "type") {
      key.type = std::move(text);
      key.typeAt = Here();
    } else if (key.member == "base64") {
      key.base64 = std::move(text);
      key.base64At = Here();
    } else {
      key.text = std::move(text);
      key.valueAt = Here();
    }
    return true;
  }

  bool number_integer(Json::number_integer_t number) {
    return Integer(number >= INT32_MIN && number <= INT32_MAX, number, std::to_string(number));
  }
  bool number_unsigned(Json::number_unsigned_t number) {
    return Integer(number <= INT32_MAX, static_cast<int64_t>(std::min<uint64_t>(number, INT32_MAX)),
                   std::to_string(number));
  }
  bool number_float(Json::number_float_t, const string_t& written) {
    NumberField();
    Fail(Here(), written + " is no integer");
  }
  bool boolean(bool) { return Unexpected("true or false"); }
  bool null() { return Unexpected("null"); }
  bool binary(Json::binary_t&) { return Unexpected("binary data"); }

  bool start_array(std::size_t) {
    if (!stack_.empty() && stack_.back().kind == Frame::Kind::kStrings)
      Fail(Here(), "a multi-string holds only strings");
    Frame& key = FieldFrame();
    if (key.member != "value") Fail(Here(), Quoted(key.member) + " is no array");
    key.valueAt = Here();
    stack_.emplace_back(Frame::Kind::kStrings);
    return true;
  }
  bool end_array() {
    std::vector<std::string> texts = std::move(stack_.back().texts);
    stack_.pop_back();
    stack_.back().texts = std::move(texts);
    stack_.back().hasTexts = true;
    return true;
  }

  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& error) {
    // nlohmann's message names the place in its own words; ours comes first.
    std::string message = error.what();
    const size_t place = message.find("parse error");
    const size_t reason = place == std::string::npos ? place : message.find(": ", place);
    if (reason != std::string::npos) message.erase(0, reason + 2);
    Fail(position, message);
  }

 private:
  struct Frame {
    enum class Kind { kSection, kUndecided, kKey, kStrings };
    explicit Frame(Kind startKind) : kind(startKind) {}
    Kind kind;
    std::string path;    // a section's, below the target
    std::string name;    // kUndecided and kKey: the member name, decoded
    size_t at = 0;       // kUndecided and kKey: where that name is
    std::string member;  // the member whose value comes next
    size_t memberAt = 0;
    // kSection: the names so far, lowered, for names that differ in case only
    std::map<std::string, std::string> keyNames, sectionNames;
    // kKey: its members
    std::optional<std::string> type, base64, text;
    std::optional<int32_t> integer;
    bool hasTexts = false;
    std::vector<std::string> texts;  // also kStrings
    std::vector<std::string> fields;
    size_t typeAt = 0, base64At = 0, valueAt = 0;
  };

  // How far the parser has read: the place of the last byte it took.
  size_t Here() const { return static_cast<size_t>(*furthest_ - text_.data()); }

  [[noreturn]] void Fail(size_t read, const std::string& message) const {
    const size_t at = std::min(read == 0 ? 0 : read - 1, text_.empty() ? 0 : text_.size() - 1);
    const size_t lineStart = at == 0 ? 0 : text_.rfind('\n', at - 1) + 1;  // npos + 1 is 0
    const auto newlines = std::count(text_.begin(), text_.begin() + static_cast<std::ptrdiff_t>(at), '\n');
    throw InputError(static_cast<int>(newlines + 1), static_cast<int>(at - lineStart + 1), message);
  }

  bool Unexpected(const std::string& what) {
    if (!stack_.empty() && stack_.back().kind != Frame::Kind::kStrings) FieldFrame();
    Fail(Here(), "unexpected " + what);
  }

  std::string DecodedName(std::string name, size_t at) const {
    if (!name.empty() && name.back() == '\0') name.pop_back();
    if (name.starts_with(kBase64Name)) {
      std::optional<std::string> decoded = DecodeBase64(std::string_view(name).substr(kBase64Name.size()));
      if (!decoded) Fail(at, "the name " + Quoted(name.substr(1)) + " is no valid Base64");
      name = std::move(*decoded);
    }
    if (name.find('\0') != std::string::npos) Fail(at, "a name holds a NUL");
    return name;
  }

  // The frame of the typed value whose member takes the next scalar or
  // array; an object that started with one becomes a typed value here.
  Frame& FieldFrame() {
    if (stack_.empty()) Fail(Here(), "the document is no JSON object");
    Frame& top = stack_.back();
    if (top.kind == Frame::Kind::kSection) {
      Fail(Here(), Quoted(top.member) +
                       " is no object: a section or a typed value like {\"type\": \"string\", "
                       "\"value\": \"text\"}");
    }
    if (top.kind == Frame::Kind::kUndecided) {
      top.kind = Frame::Kind::kKey;
      const std::string member = std::move(top.member);
      CheckField(top, member);
    }
    return top;
  }

  void CheckField(Frame& key, const std::string& member) {
    if (member != "type" && member != "value" && member != "base64") {
      Fail(key.memberAt, "unknown member " + Quoted(member) + " in the typed value " + Quoted(key.name) +
                             " (type, value, base64)");
    }
    if (std::find(key.fields.begin(), key.fields.end(), member) != key.fields.end()) {
      Fail(key.memberAt, Quoted(member) + " is given twice");
    }
    key.fields.push_back(member);
    key.member = member;
  }

  void NumberField() {
    if (!stack_.empty() && stack_.back().kind == Frame::Kind::kStrings) {
      Fail(Here(), "a multi-string holds only strings");
    }
    Frame& key = FieldFrame();
    if (key.member != "value") Fail(Here(), Quoted(key.member) + " is text, not a number");
    key.valueAt = Here();
  }

  bool Integer(bool fits, int64_t number, const std::string& written) {
    NumberField();
    if (!fits) Fail(Here(), written + " does not fit a 32-bit integer");
    stack_.back().integer = static_cast<int32_t>(number);
    return true;
  }

  // The section holding the top frame, which must not have a name its
  // sibling of the same kind has in other case.
  void Register(bool asSection) {
    Frame& item = stack_.back();
    Frame& parent = stack_[stack_.size() - 2];
    auto& names = asSection ? parent.sectionNames : parent.keyNames;
    const auto [known, added] = names.emplace(LowerAscii(item.name), item.name);
    if (!added) {
      Fail(item.at, std::string(asSection ? "sections " : "keys ") + Quoted(known->second) + " and " +
                        Quoted(item.name) + " would be one (names ignore case)");
    }
  }

  void BecomeSection() {
    Frame& item = stack_.back();
    if (!IsSectionName(item.name)) {
      Fail(item.at, "section name " + Quoted(item.name) +
                        " is not one name: it must be non-empty and hold no "
                        "'/', '\\' or ':'");
    }
    Register(true);
    const std::string& parentPath = stack_[stack_.size() - 2].path;
    item.path = parentPath.empty() ? item.name : parentPath + '\\' + item.name;
    item.kind = Frame::Kind::kSection;
    changes_.push_back({Change::Kind::kCreateSection, item.path, "", {}});
  }

  std::string Decoded(const std::string& base64, size_t at) const {
    std::optional<std::string> bytes = DecodeBase64(base64);
    if (!bytes) Fail(at, "invalid Base64");
    return std::move(*bytes);
  }

  void FinishKey() {
    Frame& key = stack_.back();
    if (!key.type) Fail(key.at, "the typed value " + Quoted(key.name) + " has no \"type\"");
    const std::string& type = *key.type;
    const bool hasValue = key.text || key.integer || key.hasTexts;
    if (hasValue && key.base64) Fail(key.base64At, "a value is given both as \"value\" and as \"base64\"");
    if (!hasValue && !key.base64 && type != "unset") Fail(key.typeAt, "a " + type + " needs a \"value\"");
    Value value;
    const size_t valueAt = key.valueAt != 0 ? key.valueAt : key.base64At;
    const auto wrongValue = [&] {
      Fail(valueAt, type == "integer"  ? "an integer is a number in \"value\""
                    : type == "string" ? "a string is text in \"value\", or its bytes in \"base64\""
                    : type == "binary"
                        ? "a binary value is Base64 text in \"value\" or \"base64\""
                        : "a multi-string is an array of strings in \"value\", or its bytes in "
                          "\"base64\"");
    };
    if (type == "integer") {
      if (!key.integer) wrongValue();
      value.type = storage::TYPE_INTEGER;
      value.bytes.assign(reinterpret_cast<const char*>(&*key.integer), sizeof(int32_t));
    } else if (type == "string") {
      value.type = storage::TYPE_STRING;
      if (key.base64) {
        value.bytes = Decoded(*key.base64, key.base64At);
      } else {
        if (!key.text || key.text->find('\0') != std::string::npos) wrongValue();
        value.bytes = *key.text + '\0';
      }
    } else if (type == "binary") {
      value.type = storage::TYPE_BINARY;
      if (hasValue && !key.text) wrongValue();
      value.bytes = key.text ? Decoded(*key.text, key.valueAt) : Decoded(*key.base64, key.base64At);
    } else if (type == "multi-string") {
      value.type = storage::TYPE_MULTI_STRING;
      if (key.base64) {
        value.bytes = Decoded(*key.base64, key.base64At);
      } else {
        if (!key.hasTexts) wrongValue();
        for (const std::string& text : key.texts) {
          if (text.empty() || text.find('\0') != std::string::npos) {
            Fail(key.valueAt, "a multi-string holds no empty string and no NUL");
          }
          value.bytes += text + '\0';
        }
        value.bytes += '\0';
      }
    } else if (type == "unset") {
      if (hasValue || key.base64) Fail(valueAt, "an unset key has no value");
    } else {
      Fail(key.typeAt,
           "unknown value type \"" + type + "\" (integer, string, binary, multi-string or unset)");
    }
    Register(false);
    changes_.push_back({Change::Kind::kSetValue, stack_[stack_.size() - 2].path, key.name, std::move(value)});
  }

  const std::string& text_;
  const char** furthest_;
  std::vector<Frame> stack_;
  std::vector<Change> changes_;
};

}  // namespace

// The nesting is written here, level by level with a stack of its own, since
// nlohmann's writer recurses once per level of a document; every name and
// value goes through nlohmann, a key's typed object on one line.
std::string WriteJson(const Section& tree) {
  std::string out = "{";
  std::vector<Writing> stack;
  stack.emplace_back(tree);
  bool empty = true;  // whether the object last opened has no member yet
  while (!stack.empty()) {
    Writing& top = stack.back();
    const Section& section = *top.section;
    const size_t level = stack.size();
    if (top.next == section.keys.size() + section.sections.size()) {
      if (!empty) out += "\n" + Indent(level - 1);
      out += '}';
      empty = false;
      stack.pop_back();
      continue;
    }
    out += empty ? "\n" : ",\n";
    out += Indent(level);
    empty = false;
    if (top.next < section.keys.size()) {
      const auto& [name, value] = section.keys[top.next++];
      std::string written = WrittenName(name);
      if (top.sectionNames.contains(written)) written += '\0';
      out += Json(written).dump() + ": " + ValueJson(value).dump();
    } else {
      const auto& [name, child] = section.sections[top.next++ - section.keys.size()];
      out += Json(WrittenName(name)).dump() + ": {";
      empty = true;
      stack.emplace_back(child);
    }
  }
  return out + "\n";
}

std::vector<Change> ReadJson(const std::string& text) {
  // Windows editors save "Unicode" text as UTF-16; say so rather than "invalid literal".
  if (text.starts_with("\xff\xfe") || text.starts_with("\xfe\xff")) {
    throw InputError(1, 1, "the file is UTF-16 text; JSON is read as UTF-8");
  }
  const char* furthest = text.data();
  Reader reader(text, &furthest);
  Json::sax_parse(TrackedIterator(text.data(), &furthest),
                  TrackedIterator(text.data() + text.size(), &furthest), &reader);
  return reader.TakeChanges();
}

}  // namespace cli::exchange
