// What the three backends share, and where they part, as a host sees it
// through the public API: each table gives the expected result per backend
// (registry, XML file, shared DOM).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <functional>
#include <future>
#include <random>
#include <tuple>

#include "api/Storages.h"

namespace settingstore::test {
namespace {

using storage::StorageType;
using storage::Type;
using PerBackend = std::array<std::string, 3>;
using namespace std::string_literals;

class Conformance : public ::testing::TestWithParam<StorageType> {
 protected:
  void SetUp() override { ASSERT_NE(storage_.Open(), nullptr); }
  template <class T>
  const T& Column(const std::array<T, 3>& row) const {
    return row[static_cast<int>(GetParam())];
  }
  // Key names as listed. The Windows registry keeps values in no order (Wine
  // lists them by name), so there a list is compared as a set.
  Strings KeyOrder(Strings names) const {
#ifdef _WIN32
    if (GetParam() == storage::STORAGE_REGISTRY) std::sort(names.begin(), names.end());
#endif
    return names;
  }
  Storage storage_{GetParam()};
};

// A value as written, and per backend its size and the bytes a buffer with
// room to spare receives.
struct Value {
  Type type;
  std::string in;
  PerBackend read;
  std::array<size_t, 3> size;
};

// The registry keeps the bytes as given; the XML file keeps a string's
// terminator only when one came, the shared DOM always has one.
Value Stored(Type type, const std::string& in) {
  const std::string text = in.substr(0, in.find('\0'));
  const bool string = type == storage::TYPE_STRING;
  Value value{type,
              in,
              {in, string ? (text.size() == in.size() ? text : text + '\0') : in, string ? text + '\0' : in},
              {}};
  for (int b = 0; b < 3; ++b) value.size[b] = value.read[b].size();
  return value;
}

// Values of every type: lengths 0 and 1, around byte and page boundaries, a
// mebibyte, random bytes from a fixed seed; then the terminator cases.
std::vector<Value> Values() {
  std::mt19937 random(20240611);
  const auto bytes = [&](size_t length, int low, int high) {
    std::string made(length, '\0');
    for (char& c : made) c = static_cast<char>(std::uniform_int_distribution<int>(low, high)(random));
    return made;
  };
  std::vector<Value> values;
  for (size_t length : {0, 1, 2, 255, 256, 4095, 4096, 65537, 1 << 20}) {
    values.push_back(Stored(storage::TYPE_BINARY, bytes(length, 0, 255)));
    values.push_back(Stored(storage::TYPE_STRING, bytes(length, ' ', '~')));  // no terminator
    values.push_back(Stored(storage::TYPE_STRING, bytes(length, ' ', '~') + '\0'));
  }
  for (size_t count : {1, 2, 7, 300}) {
    std::string list;
    for (size_t i = 0; i < count; ++i) list += bytes(1 + random() % 40, ' ', '~') + '\0';
    values.push_back(Stored(storage::TYPE_MULTI_STRING, list + '\0'));
  }
  for (int32_t number : {0, 1, -1, INT32_MIN, INT32_MAX, static_cast<int32_t>(random())}) {
    values.push_back(Stored(storage::TYPE_INTEGER, std::string(reinterpret_cast<const char*>(&number), 4)));
  }
  values.push_back(Stored(storage::TYPE_STRING, "abc\0tail"s));
  // Lists without their end, with text after it, empty, or with an empty
  // first string: the XML file reports the size written.
  const Type list = storage::TYPE_MULTI_STRING;
  values.push_back({list, "a\0b"s, {"a\0b"s, "a\0b\0\0"s, "a\0b\0\0"s}, {3, 3, 5}});
  values.push_back({list, "ab"s, {"ab"s, "ab\0\0"s, "ab\0\0"s}, {2, 2, 4}});
  values.push_back({list, "one\0\0tail"s, {"one\0\0tail"s, "one\0\0"s, "one\0\0"s}, {9, 5, 5}});
  values.push_back({list, ""s, {""s, "\0\0"s, "\0\0"s}, {0, 0, 2}});
  values.push_back({list, "\0"s, {"\0"s, "\0\0"s, "\0"s}, {1, 1, 1}});
  values.push_back({list, "\0a\0\0"s, {"\0a\0\0"s, "\0a\0\0"s, "\0"s}, {4, 4, 1}});
  return values;
}

TEST_P(Conformance, EveryValueReadsBackAsStoredAlsoAfterReopening) {
  const auto values = Values();
  const auto check = [&](IStorageKey* key, const Value& value) {
    EXPECT_EQ(key->GetType(), value.type);
    EXPECT_EQ(key->GetSize(), Column(value.size));
    std::string buffer(Column(value.read).size() + 4, '#');
    EXPECT_TRUE(key->Read(buffer.data(), static_cast<unsigned>(buffer.size())));
    EXPECT_TRUE(buffer == Column(value.read) + "####") << "nothing beyond the value is touched";
  };
  {
    Ref<IStorageSection> root = storage_.Root();
    Ref<IStorageKey> reused(root->CreateKey("Reused"));  // each write replaces the whole value
    for (size_t i = 0; i < values.size(); ++i) {
      SCOPED_TRACE("value " + std::to_string(i) + " of type " + std::to_string(values[i].type));
      Ref<IStorageKey> own(root->CreateKey(("v" + std::to_string(i)).c_str()));
      ASSERT_TRUE(Write(own.get(), values[i].type, values[i].in));
      ASSERT_TRUE(Write(reused.get(), values[i].type, values[i].in));
      check(own.get(), values[i]);
      check(reused.get(), values[i]);
    }
  }
  storage_.Close();
  ASSERT_NE(storage_.Open(), nullptr);
  Ref<IStorageSection> root = storage_.Root();
  for (size_t i = 0; i < values.size(); ++i) {
    SCOPED_TRACE("reopened value " + std::to_string(i));
    check(Ref<IStorageKey>(root->OpenKey(("V" + std::to_string(i)).c_str())).get(), values[i]);
  }
}

// What a row works on: a fresh section holding the string key "present".
struct Subject {
  IStorageSection* root;
  std::string name;
  IStorageSection* section;
  IStorageKey* key;

  bool OpenKey(const char* n) const { return Made(section->OpenKey(n)); }
  bool CreateKey(const char* n) const { return Made(section->CreateKey(n)); }
  bool OpenSection(const char* n) const { return Made(section->OpenSection(n)); }
  bool CreateSection(const char* n) const { return Made(section->CreateSection(n)); }
  bool DeleteKey() const { return section->DeleteKey("present"); }
  bool DeleteSection() const { return DeleteKey() && root->DeleteSection(name.c_str()); }
  bool Read(unsigned size, IStorageKey* from = nullptr) const {
    std::string buffer(size, '#');
    return (from ? from : key)->Read(buffer.data(), size);
  }
  // A new key holding the bytes, or null.
  Ref<IStorageKey> New(Type type, const std::string& bytes) const {
    Ref<IStorageKey> made(section->CreateKey("new"));
    if (type != storage::TYPE_UNKNOWN && made && !Write(made.get(), type, bytes)) made.reset();
    return made;
  }
};
using S = const Subject&;
struct Row {
  const char* what;
  std::function<bool(S)> call;
  PerBackend expected;
};

const std::string kMebibyte(1 << 20, 'n');
#ifdef _WIN32
// The Windows registry refuses value names over 16,383 characters.
constexpr char kRegistryLongKey[] = "IO -6";
#else
constexpr char kRegistryLongKey[] = "ok";
#endif

const std::vector<Row>& Rows() {
  const PerBackend ok{"ok", "ok", "ok"};
  const PerBackend open6{"Open -6", "Open -6", "Open -5"};
  const PerBackend create6{"Create -6", "Create -6", "Create -5"};
  const PerBackend delete5{"Delete -5", "Delete -5", "Delete -5"};
  const PerBackend notFound{"Open -2", "Open -6", "Open -2"};
  const PerBackend badType{"IO -3", "IO -6", "IO -11"};
  const PerBackend deletedKey{"IO -2", "IO -1", "IO -1"};
  const PerBackend notEmpty{"NotEmpty -6", "NotEmpty -6", "NotEmpty -6"};
  const PerBackend delete2{"Delete -2", "Delete -2", "Delete -2"};
  const PerBackend orphan{"Create -6", "Create -1", "Create -1"};
  const PerBackend ioGone{"IO -6", "IO -1", "IO -1"};
  static const std::vector<Row> rows{
      // clang-format off
      // Missing, empty and unknown names.
      {"OpenKey(null)", [](S s) { return s.OpenKey(nullptr); }, open6},
      {"CreateKey(null)", [](S s) { return s.CreateKey(nullptr); }, create6},
      {"OpenSection(null)", [](S s) { return s.OpenSection(nullptr); }, open6},
      {"OpenSection(\"\")", [](S s) { return s.OpenSection(""); }, open6},
      {"CreateSection(null)", [](S s) { return s.CreateSection(nullptr); }, create6},
      {"CreateSection(\"\")", [](S s) { return s.CreateSection(""); }, create6},
      {"DeleteSection(null)", [](S s) { return s.section->DeleteSection(nullptr); }, delete5},
      {"DeleteSection(\"\")", [](S s) { return s.section->DeleteSection(""); }, delete5},
      {"DeleteKey(null)", [](S s) { return s.section->DeleteKey(nullptr); },
       {"Delete -2", "Delete -5", "Delete -2"}},
      {"DeleteKey(\"\")", [](S s) { return s.section->DeleteKey(""); }, delete2},
      {"OpenKey(\"\")", [](S s) { return s.OpenKey(""); }, {"Open -2", "Open -6", "Open -2"}},
      {"CreateKey(\"\")", [](S s) { return s.CreateKey(""); }, ok},
      {"OpenKey(missing)", [](S s) { return s.OpenKey("missing"); }, notFound},
      {"OpenSection(missing\\deeper)", [](S s) { return s.OpenSection("missing\\deeper"); }, notFound},
      {"OpenKey of a section", [](S s) { return s.CreateSection("s") && s.OpenKey("s"); }, notFound},
      {"OpenSection of a key", [](S s) { return s.OpenSection("present"); }, notFound},
      {"DeleteSection(missing)", [](S s) { return s.section->DeleteSection("missing"); },
       {"Delete -2", "Delete -6", "Delete -2"}},
      {"DeleteSection(missing\\deeper)", [](S s) { return s.section->DeleteSection("missing\\deeper"); },
       {"Delete -2", "Delete -2", "Open -2"}},
      {"DeleteKey(missing)", [](S s) { return s.section->DeleteKey("missing"); }, delete2},
      // Paths and separators.
      {"CreateSection(a\\b\\c) makes every level", [](S s) {
         Ref<IStorageSection> b(s.CreateSection("a\\b\\c") ? s.section->OpenSection("A\\B") : nullptr);
         return b && Names(b->EnumSections()) == Strings{"c"} &&
                Names(s.section->EnumSections()) == Strings{"a"};
       },
       ok},
      {"OpenSection(separators only)", [](S s) { return s.OpenSection("\\/\\"); }, {"Open -6", "ok", "ok"}},
      {"CreateSection(separators only)", [](S s) { return s.CreateSection("//\\"); },
       {"Create -6", "ok", "ok"}},
      {"DeleteSection(separators only)", [](S s) { return s.section->DeleteSection("\\\\"); },
       {"Delete -6", "Delete -5", "Delete -5"}},
      {"a slash separates", [](S s) { return s.CreateSection("a/b") && s.OpenSection("a"); },
       {"Open -2", "ok", "ok"}},
      {"CreateKey(x\\y) then OpenKey(x\\y)",
       [](S s) {
         return WriteString(Ref<IStorageKey>(s.section->CreateKey("x\\y")).get(), "z") && s.OpenKey("x\\y");
       },
       ok},
      {"key with a 1 MiB name", [](S s) {
         return WriteString(Ref<IStorageKey>(s.section->CreateKey(kMebibyte.c_str())).get(), "v") &&
                s.OpenKey(kMebibyte.c_str());
       },
       {kRegistryLongKey, "ok", "ok"}},
      {"section with a 1 MiB name",
       [](S s) { return s.CreateSection(kMebibyte.c_str()) && s.OpenSection(kMebibyte.c_str()); }, ok},
      {"key and section at the Windows registry's name limits", [](S s) {
         const std::string key(16383, 'k'), section(255, 's');
         return WriteString(Ref<IStorageKey>(s.section->CreateKey(key.c_str())).get(), "v") &&
                s.OpenKey(key.c_str()) && s.CreateSection(section.c_str()) && s.OpenSection(section.c_str());
       },
       ok},
      // Type numbers and sizes.
      {"Write type 0", [](S s) { return Write(s.key, Type(0), "x"); }, {"IO -3", "IO -6", "IO -10"}},
      {"Write type 5", [](S s) { return Write(s.key, Type(5), "x"); }, badType},
      {"Write type -1", [](S s) { return Write(s.key, Type(-1), "x"); }, badType},
      {"Write integer of 2 bytes", [](S s) { return Write(s.key, storage::TYPE_INTEGER, "12"); },
       {"ok", "IO -7", "IO -6"}},
      {"Write integer of 8 bytes", [](S s) { return Write(s.key, storage::TYPE_INTEGER, "12345678"); },
       {"ok", "ok", "IO -6"}},
      {"Read integer into 2 bytes", [](S s) { return s.Read(2, s.New(storage::TYPE_INTEGER, "1234").get()); },
       {"IO -6", "IO -7", "IO -6"}},
      {"Read string into one byte less", [](S s) { return s.Read(5); }, {"IO -6", "IO -7", "ok"}},
      {"Read binary into one byte less",
       [](S s) { return s.Read(4, s.New(storage::TYPE_BINARY, "12345").get()); },
       {"IO -6", "Exception -6", "false"}},
      {"Read list into one byte less",
       [](S s) { return s.Read(5, s.New(storage::TYPE_MULTI_STRING, "ab\0c\0\0"s).get()); },
       {"IO -6", "ok", "false"}},
      {"Read(null, 0)", [](S s) { return s.key->Read(nullptr, 0); }, {"ok", "IO -7", "ok"}},
      {"Read(null, 16)", [](S s) { return s.key->Read(nullptr, 16); }, {"ok", "IO -6", "IO -6"}},
      {"Write(string, null, 5)", [](S s) { return s.key->Write(storage::TYPE_STRING, nullptr, 5); },
       {"IO -6", "IO -6", "IO -6"}},
      {"Write(binary, null, 0)",
       [](S s) { return s.key->Write(storage::TYPE_BINARY, nullptr, 0) && s.key->GetSize() == 0; },
       ok},
      // A key created and never written.
      {"new key has no type", [](S s) { return s.New(storage::TYPE_UNKNOWN, "")->GetType() == 0; },
       {"IO -2", "ok", "ok"}},
      {"new key reads nothing", [](S s) { return s.Read(4, s.New(storage::TYPE_UNKNOWN, "").get()); },
       {"IO -2", "IO -10", "IO -10"}},
      {"new key is listed",
       [](S s) { return s.New(storage::TYPE_UNKNOWN, "") && Names(s.section->EnumKeys()).size() == 2; },
       {"false", "ok", "ok"}},
      // Deleted items.
      {"Read of a deleted key", [](S s) { return s.DeleteKey() && s.Read(16); }, deletedKey},
      {"GetType of a deleted key", [](S s) { return s.DeleteKey() && s.key->GetType(); }, deletedKey},
      {"GetSize of a deleted key", [](S s) { return s.DeleteKey() && s.key->GetSize(); }, deletedKey},
      {"Write to a deleted key makes it again", [](S s) {
         return s.DeleteKey() && WriteString(s.key, "again") &&
                ReadBytes(Ref<IStorageKey>(s.section->OpenKey("PRESENT")).get()) == "again\0"s;
       },
       {"ok", "IO -1", "ok"}},
      {"DeleteKey twice", [](S s) { return s.DeleteKey() && s.DeleteKey(); },
       {"Delete -2", "Delete -2", "Delete -6"}},
      {"CreateKey in a deleted section", [](S s) { return s.DeleteSection() && s.CreateKey("new"); }, orphan},
      {"CreateSection in a deleted section", [](S s) { return s.DeleteSection() && s.CreateSection("new"); },
       orphan},
      {"OpenKey in a deleted section", [](S s) { return s.DeleteSection() && s.OpenKey("present"); },
       {"Open -6", "Open -1", "Open -1"}},
      {"EnumKeys of a deleted section", [](S s) { return s.DeleteSection() && Made(s.section->EnumKeys()); },
       ioGone},
      {"Write to a key of a deleted section",
       [](S s) { return s.DeleteSection() && WriteString(s.key, "back"); }, ioGone},
      {"DeleteSection of a section with a value", [](S s) { return s.root->DeleteSection(s.name.c_str()); },
       notEmpty},
      {"DeleteSection of a section with a section",
       [](S s) { return s.DeleteKey() && s.CreateSection("a") && s.root->DeleteSection(s.name.c_str()); },
       notEmpty},
      {"DeleteSection of an empty section", [](S s) {
         const Strings left = s.DeleteSection() ? Names(s.root->EnumSections()) : Strings{s.name};
         return std::find(left.begin(), left.end(), s.name) == left.end();
       },
       ok},
      // clang-format on
  };
  return rows;
}

// A later call from another thread completes: nothing was left locked.
void ExpectNothingLocked(IStorageSection* root, const char* what) {
  auto probe = std::async(std::launch::async, [root] { return Made(root->CreateSection("probe")); });
  if (probe.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    ADD_FAILURE() << what << ": a later call from another thread hangs";
    std::abort();  // the hung thread cannot be joined
  }
  EXPECT_TRUE(probe.get()) << what;
}

// Each row runs on the plain root, where a failure throws, and on the
// no-throw root, where it returns null or false and leaves its code with the
// factory. A failed call leaves the value it did not mean to change alone.
TEST_P(Conformance, EveryCallSucceedsOrFailsWithItsCode) {
  storage::NoThrowStorageFactory* factory = storage_.factory();
  int number = 0;
  for (bool noThrow : {false, true}) {
    Ref<IStorageSection> root(noThrow ? factory->GetNoThrowRoot() : factory->GetRoot());
    for (const Row& row : Rows()) {
      SCOPED_TRACE(std::string(row.what) + (noThrow ? " without exceptions" : ""));
      const std::string name = "subject" + std::to_string(number++);
      Ref<IStorageSection> section(root->CreateSection(name.c_str()));
      Ref<IStorageKey> key(section->CreateKey("present"));
      ASSERT_TRUE(WriteString(key.get(), "value"));
      Subject subject{root.get(), name, section.get(), key.get()};
      factory->SetLastErrorCode(0);
      std::string outcome = Outcome([&] { return row.call(subject); });
      std::string expected = Column(row.expected);
      if (noThrow && factory->GetLastErrorCode() != 0)
        outcome = "code " + std::to_string(factory->GetLastErrorCode());
      if (noThrow && expected.find(" -") != std::string::npos)
        expected = "code" + expected.substr(expected.find(' '));
      EXPECT_EQ(outcome, expected);
      if (outcome != "ok") {
        const std::string left = Outcome([&] {
          Ref<IStorageSection> again(storage_.Root()->OpenSection(name.c_str()));
          return ReadBytes(Ref<IStorageKey>(again->OpenKey("present")).get()) == std::string("value", 6);
        });
        EXPECT_NE(left, "false") << "the failed call changed the value";
      }
      key.reset();
      section.reset();
      ExpectNothingLocked(root.get(), row.what);
    }
  }
}

TEST_P(Conformance, NamesIgnoreAsciiCaseAndKeepTheirFirstSpellingWhileValuesKeepTheirBytes) {
  Ref<IStorageSection> root = storage_.Root();
  Ref<IStorageSection> display(root->CreateSection("Display"));
  ASSERT_TRUE(WriteString(Ref<IStorageKey>(display->CreateKey("Width")).get(), "640"));
  Ref<IStorageKey> same(Ref<IStorageSection>(root->CreateSection("DISPLAY"))->CreateKey("WIDTH"));
  EXPECT_EQ(ReadBytes(same.get()), "640\0"s) << "creating an existing key keeps its value";
  ASSERT_TRUE(WriteString(same.get(), "800"));
  EXPECT_EQ(
      ReadBytes(Ref<IStorageKey>(Ref<IStorageSection>(root->OpenSection("display"))->OpenKey("wIdTh")).get()),
      "800\0"s);
  EXPECT_EQ(Names(root->EnumSections()), Strings{"Display"});
  EXPECT_EQ(Names(display->EnumKeys()), Strings{"Width"});
  EXPECT_TRUE(display->DeleteKey("WiDtH"));
  EXPECT_EQ(Names(display->EnumKeys()), Strings{});
  // Only ASCII letters fold; values equal but for case, or to words the
  // storage itself uses, stay apart.
  const Strings texts{"\xC4", "\xE4", "abc", "AbC", "ABC", "SECTION", "Key", "NAME", "Integer", "Unknown"};
  for (const std::string& text : texts)
    ASSERT_TRUE(WriteString(Ref<IStorageKey>(display->CreateKey(text.c_str())).get(), text));
  for (size_t i = 0; i < texts.size(); ++i)
    ASSERT_TRUE(
        WriteString(Ref<IStorageKey>(root->CreateKey(("v" + std::to_string(i)).c_str())).get(), texts[i]));
  Strings kept{"\xC4", "\xE4", "abc", "SECTION", "Key", "NAME", "Integer", "Unknown"};
  std::string firstValue = "\xC4\0"s;
#ifdef _WIN32
  // The Windows registry folds case beyond ASCII: \xE4 is \xC4's lower case.
  if (GetParam() == storage::STORAGE_REGISTRY) {
    kept.erase(kept.begin() + 1);
    firstValue = "\xE4\0"s;
  }
#endif
  EXPECT_EQ(KeyOrder(Names(display->EnumKeys())), KeyOrder(kept));
  EXPECT_EQ(ReadBytes(Ref<IStorageKey>(display->OpenKey("\xC4")).get()), firstValue);
  for (size_t i = 0; i < texts.size(); ++i) {
    EXPECT_EQ(ReadBytes(Ref<IStorageKey>(root->OpenKey(("V" + std::to_string(i)).c_str())).get()),
              texts[i] + '\0');
  }
  // A key's name is spelled as first given to a name of its kind; the shared
  // DOM keeps one spelling for sections and keys alike.
  Ref<IStorageSection>(display->CreateSection("colour"));
  ASSERT_TRUE(WriteString(Ref<IStorageKey>(display->CreateKey("Colour")).get(), "x"));
  EXPECT_EQ(Names(display->EnumSections()), Strings{"colour"});
  kept.push_back(Column<std::string>({"Colour", "Colour", "colour"}));
  EXPECT_EQ(KeyOrder(Names(display->EnumKeys())), KeyOrder(kept));
}

TEST_P(Conformance, EnumerationsKeepAnOrderAndSeparateKinds) {
  Ref<IStorageSection> root = storage_.Root();
  for (const char* name : {"zeta", "Alpha", "mid"}) {
    ASSERT_TRUE(WriteString(Ref<IStorageKey>(root->CreateKey(name)).get(), name));
    Ref<IStorageSection>(root->CreateSection((std::string("S_") + name).c_str()));
  }
  Ref<IStorageSection>(root->CreateSection("zeta"));  // a key and a section may share a name
  // The registry lists its sections by name, the others in the order made.
  const Strings sorted{"S_Alpha", "S_mid", "S_zeta", "zeta"};
  const Strings made{"S_zeta", "S_Alpha", "S_mid", "zeta"};
  EXPECT_EQ(KeyOrder(Names(root->EnumKeys())), KeyOrder({"zeta", "Alpha", "mid"}));
  EXPECT_EQ(Names(root->EnumSections()), Column<Strings>({sorted, made, made}));

  // A name deleted and made again goes to the end (where keys keep an order);
  // an enumerator already taken is not disturbed by changes.
  Ref<storage::INamesEnumerator> before(root->EnumKeys());
  EXPECT_TRUE(root->DeleteKey("Alpha"));
  ASSERT_TRUE(WriteString(Ref<IStorageKey>(root->CreateKey("ALPHA")).get(), "again"));
  EXPECT_TRUE(root->DeleteSection("S_ZETA"));
  EXPECT_EQ(KeyOrder(Names(root->EnumKeys())), KeyOrder({"zeta", "mid", "ALPHA"}));
  EXPECT_EQ(Names(root->EnumSections()), (Strings{"S_Alpha", "S_mid", "zeta"}));
  EXPECT_EQ(KeyOrder(Names(before.release())), KeyOrder({"zeta", "Alpha", "mid"}));
  EXPECT_TRUE(root->DeleteKey("zeta"));
  EXPECT_EQ(Names(root->EnumSections()).back(), "zeta");
}

// What the check function saw, and its answers: it refuses the first
// `refusals` loads.
struct CheckRecord {
  int refusals = 0;
  int calls = 0;
  StorageType type{};
  Strings keys;
} check;
bool Check(IStorageSection* root, StorageType type) {
  if (check.calls++ == 0) check.keys = Names(root->EnumKeys());
  check.type = type;
  return check.calls > check.refusals;
}

TEST_P(Conformance, TheCheckFunctionSeesTheLoadedRootAndItsRefusalFailsTheLoad) {
  // clang-format off
  const std::tuple<int, int, PerBackend, std::array<int, 3>, PerBackend> cases[] = {
      // refusals, retries by the host; outcome, calls of the check, what the host hears
      {0, 0, {"ok", "ok", "ok"}, {2, 1, 1}, {" Begin Succeeded", " Begin Succeeded", " Begin Succeeded"}},
      {1, 0, {"Assert", "ok", "Technical"}, {1, 2, 1},
       {" Begin Failed", " Begin Failed Failed Failed Begin Succeeded", " Begin Failed Retry"}},
      {1, 1, {"Assert", "ok", "ok"}, {1, 2, 2},
       {" Begin Failed", " Begin Failed Failed Failed Begin Succeeded", " Begin Failed Retry Begin Succeeded"}},
      {9, 0, {"Assert", "Assert", "Technical"}, {1, 2, 1},
       {" Begin Failed", " Begin Failed Failed Failed Begin Failed", " Begin Failed Retry"}}};
  // clang-format on
  for (const auto& [refusals, retries, outcome, checks, calls] : cases) {
    SCOPED_TRACE("refusals " + std::to_string(refusals) + ", retries " + std::to_string(retries));
    ASSERT_TRUE(WriteString(Ref<IStorageKey>(storage_.Root()->CreateKey("Marker")).get(), "seeded"));
    storage_.Close();
    check = CheckRecord{};
    check.refusals = refusals;
    HostInitializer init(storage_.Location());
    init.check = Check;
    init.retries = retries;
    EXPECT_EQ(Outcome([&] { return storage_.Open(init) != nullptr; }), Column(outcome));
    EXPECT_EQ(init.calls, Column(calls));
    EXPECT_EQ(check.calls, Column(checks));
    EXPECT_EQ(check.keys, Strings{"Marker"});
    EXPECT_EQ(check.type, GetParam());
    // The host may start again once the storage was taken down.
    ASSERT_TRUE(storage_.factory() != nullptr || storage_.Open() != nullptr);
  }
  // Without an initializer there is no storage; the factory tells its backend.
  EXPECT_THROW(InitializeStorage(GetParam(), nullptr), storage::TechnicalException);
  EXPECT_EQ(storage_.factory()->GetTraits()->IsInterprocess(), GetParam() != storage::STORAGE_XML);
  EXPECT_EQ(storage_.factory()->GetTraits()->GetType(), GetParam());
}

// The host keeps sections and keys, plain and without exceptions, past the
// end of its storage: registry objects keep their keys open and XML objects
// their document; a shared DOM that is down has no memory left to reach.
TEST_P(Conformance, ObjectsKeptPastTheEndOfTheStorageFailCleanly) {
  storage::NoThrowStorageFactory* factory = storage_.factory();
  Ref<IStorageSection> root(factory->GetRoot());
  Ref<IStorageSection> section(root->CreateSection("kept"));
  Ref<IStorageKey> key(section->CreateKey("value"));
  ASSERT_TRUE(WriteString(key.get(), "before"));
  Ref<IStorageKey> quiet(
      Ref<IStorageSection>(Ref<IStorageSection>(factory->GetNoThrowRoot())->OpenSection("kept"))
          ->OpenKey("value"));
  storage_.Close();

  // The shared DOM answers what a deleted item answers, each in its operation's
  // class.
  const bool down = GetParam() == storage::STORAGE_SHARED_DOM;
  const std::vector<std::tuple<const char*, std::function<bool()>, const char*>> calls{
      {"no-throw Read", [&] { return ReadBytes(quiet.get()) == std::string("before", 7); }, "false"},
      {"Read", [&] { return ReadBytes(key.get()) == std::string("before", 7); }, "IO -1"},
      {"Write", [&] { return WriteString(key.get(), "after"); }, "IO -1"},
      {"CreateKey", [&] { return Made(section->CreateKey("new")); }, "Create -1"},
      {"OpenSection", [&] { return Made(root->OpenSection("kept")); }, "Open -1"},
      {"EnumKeys", [&] { return !Names(section->EnumKeys()).empty(); }, "IO -1"},
      {"DeleteKey", [&] { return section->DeleteKey("value"); }, "Delete -1"},
  };
  for (const auto& [what, call, failure] : calls) EXPECT_EQ(Outcome(call), down ? failure : "ok") << what;
}

INSTANTIATE_TEST_SUITE_P(Backends, Conformance,
                         ::testing::Values(storage::STORAGE_REGISTRY, storage::STORAGE_XML,
                                           storage::STORAGE_SHARED_DOM),
                         [](const auto& info) {
                           return std::string(std::array{"Registry", "Xml", "SharedDom"}[info.param]);
                         });

}  // namespace
}  // namespace settingstore::test
