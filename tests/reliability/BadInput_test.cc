// Bad input through the public API, for each backend: every call either
// succeeds or throws an exception of the storage::Exception family with its
// code; nothing crashes, nothing else escapes, and nothing stays locked (a
// later call from another thread completes).
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "base/Exceptions.h"
#include "reliability/BackendUnderTest.h"

namespace settingstore::test {
namespace {

using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;

// Expected outcomes besides a specific negative code.
constexpr int32_t kSucceeds = 0;
constexpr int32_t kAnyCode = 1;  // any code of the Exception family
constexpr int32_t kEither = 2;   // success or any code: the behaviour is open

// What a row works on: a fresh section holding the string key "present".
struct Subject {
  IStorageSection* root;
  std::string name;  // the section's name in root
  IStorageSection* section;
  IStorageKey* key;
};

struct Row {
  const char* what;
  std::function<void(Subject&)> call;
  std::array<int32_t, 3> expected;  // registry, XML, shared DOM
};

// "ok", "code <n>", or what else escaped.
std::string Outcome(const std::function<void()>& call) {
  try {
    call();
    return "ok";
  } catch (...) {
    const storage::Failure failure = storage::CurrentFailure();
    if (failure.root == storage::Failure::Root::kStorage) return "code " + std::to_string(failure.code);
    if (failure.root == storage::Failure::Root::kUnknown) return failure.rootName();
    return std::string(failure.rootName()) + ": " + failure.message;
  }
}

bool Matches(const std::string& outcome, int32_t expected) {
  switch (expected) {
    case kSucceeds:
      return outcome == "ok";
    case kAnyCode:
      return outcome.rfind("code -", 0) == 0;
    case kEither:
      return outcome == "ok" || outcome.rfind("code -", 0) == 0;
    default:
      return outcome == "code " + std::to_string(expected);
  }
}

void WriteString(IStorageKey* key, const std::string& text) {
  key->Write(storage::TYPE_STRING, text.c_str(), static_cast<unsigned>(text.size() + 1));
}

std::string ReadString(IStorageKey* key) {
  std::string text(key->GetSize(), '\0');
  key->Read(text.data(), static_cast<unsigned>(text.size()));
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

// Names and values of a mebibyte.
const std::string& Huge() {
  static const std::string text = [] {
    std::string built(1 << 20, 'n');
    for (size_t i = 0; i < built.size(); i += 97) built[i] = static_cast<char>('a' + i % 26);
    return built;
  }();
  return text;
}

// A section and key with a 1 MiB name must be found again under that name.
void HugeKeyName(Subject& s) {
  Ref<IStorageKey> created(s.section->CreateKey(Huge().c_str()));
  WriteString(created.get(), "v");
  Ref<IStorageKey> opened(s.section->OpenKey(Huge().c_str()));
  EXPECT_EQ(ReadString(opened.get()), "v");
}

void HugeSectionName(Subject& s) {
  Ref<IStorageSection> created(s.section->CreateSection(Huge().c_str()));
  Ref<IStorageSection> opened(s.section->OpenSection(Huge().c_str()));
  EXPECT_TRUE(opened);
}

void HugeValue(Subject& s) {
  WriteString(s.key, Huge());
  EXPECT_EQ(ReadString(s.key), Huge());
}

void HugeBinary(Subject& s) {
  std::vector<uint8_t> data(1 << 20);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
  s.key->Write(storage::TYPE_BINARY, data.data(), static_cast<unsigned>(data.size()));
  std::vector<uint8_t> back(data.size());
  s.key->Read(back.data(), static_cast<unsigned>(back.size()));
  EXPECT_EQ(back, data);
}

void WriteType(IStorageKey* key, int32_t type) {
  const char data[] = "a\0b\0\0";
  key->Write(static_cast<storage::Type>(type), data, sizeof data);
}

// Each type that a key accepts reads back as written.
void EveryKnownType(Subject& s) {
  for (int32_t type = 1; type <= 4; ++type) {
    if (type == storage::TYPE_INTEGER) {
      const int32_t number = 5;
      s.key->Write(storage::TYPE_INTEGER, &number, sizeof number);
    } else {
      WriteType(s.key, type);
    }
    EXPECT_EQ(s.key->GetType(), type);
  }
}

// The key "present" is gone from under its object.
void DeletePresent(Subject& s) { s.section->DeleteKey("present"); }

// The subject section is gone from under its object.
void DeleteSubject(Subject& s) {
  DeletePresent(s);
  s.root->DeleteSection(s.name.c_str());
}

std::vector<std::string> Names(storage::INamesEnumerator* names) {
  std::vector<std::string> found;
  while (names != nullptr && names->Next()) found.push_back(names->Current());
  return found;
}

const std::vector<Row>& Rows() {
  static const std::vector<Row> rows{
      // Null and empty names.
      {"OpenKey(null)", [](Subject& s) { Ref<IStorageKey>(s.section->OpenKey(nullptr)); }, {-6, -6, -5}},
      {"CreateKey(null)", [](Subject& s) { Ref<IStorageKey>(s.section->CreateKey(nullptr)); }, {-6, -6, -5}},
      {"OpenSection(null)",
       [](Subject& s) { Ref<IStorageSection>(s.section->OpenSection(nullptr)); },
       {-6, -6, -5}},
      {"OpenSection(\"\")",
       [](Subject& s) { Ref<IStorageSection>(s.section->OpenSection("")); },
       {-6, -6, -5}},
      {"CreateSection(null)",
       [](Subject& s) { Ref<IStorageSection>(s.section->CreateSection(nullptr)); },
       {-6, -6, -5}},
      {"CreateSection(\"\")",
       [](Subject& s) { Ref<IStorageSection>(s.section->CreateSection("")); },
       {-6, -6, -5}},
      {"DeleteSection(null)", [](Subject& s) { s.section->DeleteSection(nullptr); }, {-5, -5, -5}},
      {"DeleteSection(\"\")", [](Subject& s) { s.section->DeleteSection(""); }, {-5, -5, -5}},
      {"DeleteKey(null)", [](Subject& s) { s.section->DeleteKey(nullptr); }, {-2, -5, -2}},
      {"DeleteKey(\"\")", [](Subject& s) { s.section->DeleteKey(""); }, {-2, -2, -2}},
      {"OpenKey(\"\")", [](Subject& s) { Ref<IStorageKey>(s.section->OpenKey("")); }, {-2, -6, -2}},
      {"CreateKey(\"\")",
       [](Subject& s) { Ref<IStorageKey>(s.section->CreateKey("")); },
       {kSucceeds, kSucceeds, kSucceeds}},
      // Names with separators.
      {"CreateSection(a\\b) then OpenSection(a\\b)",
       [](Subject& s) {
         Ref<IStorageSection>(s.section->CreateSection("a\\b"));
         Ref<IStorageSection>(s.section->OpenSection("a\\b"));
       },
       {kSucceeds, kSucceeds, kSucceeds}},
      {"OpenSection(separators only)",
       [](Subject& s) { Ref<IStorageSection>(s.section->OpenSection("\\/\\")); },
       {-6, kSucceeds, kSucceeds}},
      {"CreateSection(separators only)",
       [](Subject& s) { Ref<IStorageSection>(s.section->CreateSection("//\\")); },
       {-6, kSucceeds, kSucceeds}},
      {"DeleteSection(separators only)", [](Subject& s) { s.section->DeleteSection("\\\\"); }, {-6, -5, -5}},
      {"CreateKey(x\\y) then OpenKey(x\\y)",
       [](Subject& s) {
         Ref<IStorageKey> key(s.section->CreateKey("x\\y"));
         WriteString(key.get(), "z");
         Ref<IStorageKey> again(s.section->OpenKey("x\\y"));
         EXPECT_EQ(ReadString(again.get()), "z");
       },
       {kSucceeds, kSucceeds, kSucceeds}},
      // A mebibyte of name or value.
      {"key with a 1 MiB name", HugeKeyName, {kSucceeds, kSucceeds, kSucceeds}},
      {"section with a 1 MiB name", HugeSectionName, {kSucceeds, kSucceeds, kSucceeds}},
      {"1 MiB string value", HugeValue, {kSucceeds, kSucceeds, kSucceeds}},
      {"1 MiB binary value", HugeBinary, {kSucceeds, kSucceeds, kSucceeds}},
      // Type numbers.
      {"Write types 1 to 4", EveryKnownType, {kSucceeds, kSucceeds, kSucceeds}},
      {"Write type 0", [](Subject& s) { WriteType(s.key, 0); }, {-3, -6, -10}},
      {"Write type 5", [](Subject& s) { WriteType(s.key, 5); }, {-3, -6, -11}},
      {"Write type 100", [](Subject& s) { WriteType(s.key, 100); }, {-3, -6, -11}},
      {"Write type -1", [](Subject& s) { WriteType(s.key, -1); }, {-3, -6, -11}},
      // Sizes that do not fit the type or the value.
      {"Write integer of 2 bytes",
       [](Subject& s) {
         const uint16_t small = 7;
         s.key->Write(storage::TYPE_INTEGER, &small, sizeof small);
       },
       {kSucceeds, -7, -6}},
      {"Write integer of 8 bytes",
       [](Subject& s) {
         const int64_t large = 7;
         s.key->Write(storage::TYPE_INTEGER, &large, sizeof large);
       },
       {kSucceeds, kSucceeds, -6}},
      {"Read integer into 2 bytes",
       [](Subject& s) {
         const int32_t number = 0x01020304;
         s.key->Write(storage::TYPE_INTEGER, &number, sizeof number);
         uint16_t small = 0;
         s.key->Read(&small, sizeof small);
       },
       {-6, -7, -6}},
      {"Read string into 0 bytes",
       [](Subject& s) {
         char untouched = 'x';
         s.key->Read(&untouched, 0);
         EXPECT_EQ(untouched, 'x');
       },
       {-6, -7, kSucceeds}},
      // The registry reads a null buffer as a query of the size, as Windows
      // does; the shared DOM copies what fits of a string, nothing here.
      {"Read(null, 0)", [](Subject& s) { s.key->Read(nullptr, 0); }, {kSucceeds, -7, kSucceeds}},
      {"Read(null, 16)", [](Subject& s) { s.key->Read(nullptr, 16); }, {kSucceeds, -6, -6}},
      {"Write(string, null, 0)",
       [](Subject& s) { s.key->Write(storage::TYPE_STRING, nullptr, 0); },
       {kSucceeds, kSucceeds, kSucceeds}},
      {"Write(binary, null, 0) reads back empty",
       [](Subject& s) {
         s.key->Write(storage::TYPE_BINARY, nullptr, 0);
         EXPECT_EQ(s.key->GetSize(), 0u);
       },
       {kSucceeds, kSucceeds, kSucceeds}},
      {"Write(string, null, 5)",
       [](Subject& s) { s.key->Write(storage::TYPE_STRING, nullptr, 5); },
       {-6, -6, -6}},
      {"Write multi-string without its end",
       [](Subject& s) {
         const char unterminated[] = {'a', 'b'};
         s.key->Write(storage::TYPE_MULTI_STRING, unterminated, sizeof unterminated);
       },
       {kSucceeds, kSucceeds, kSucceeds}},
      // Objects whose storage was deleted. A write to a deleted key makes it
      // again in the registry and the shared DOM; an XML key has no parent to
      // make it in.
      {"Read of a deleted key",
       [](Subject& s) {
         DeletePresent(s);
         ReadString(s.key);
       },
       {-2, -1, -1}},
      {"Write to a deleted key",
       [](Subject& s) {
         DeletePresent(s);
         WriteString(s.key, "again");
         Ref<IStorageKey> again(s.section->OpenKey("present"));
         EXPECT_EQ(ReadString(again.get()), "again");
       },
       {kSucceeds, -1, kSucceeds}},
      {"GetType of a deleted key",
       [](Subject& s) {
         DeletePresent(s);
         s.key->GetType();
       },
       {-2, -1, -1}},
      {"CreateKey in a deleted section",
       [](Subject& s) {
         DeleteSubject(s);
         Ref<IStorageKey>(s.section->CreateKey("new"));
       },
       {-6, -1, -1}},
      {"CreateSection in a deleted section",
       [](Subject& s) {
         DeleteSubject(s);
         Ref<IStorageSection>(s.section->CreateSection("new"));
       },
       {-6, -1, -1}},
      {"EnumKeys of a deleted section",
       [](Subject& s) {
         DeleteSubject(s);
         Ref<storage::INamesEnumerator> names(s.section->EnumKeys());
         if (names) {
           EXPECT_FALSE(names->Next());
         }
       },
       {-6, -1, -1}},
      {"DeleteKey twice", [](Subject& s) { DeletePresent(s), DeletePresent(s); }, {-2, -2, -6}},
  };
  return rows;
}

class BadInputTest : public ::testing::TestWithParam<storage::StorageType> {
 protected:
  int Column() const { return static_cast<int>(GetParam()); }

  // A later call from another thread completes: nothing was left locked.
  static void ExpectNothingLocked(IStorageSection* root, const std::string& what) {
    auto probe = std::async(std::launch::async, [root] {
      Ref<IStorageSection> section(root->CreateSection("probe"));
      Ref<IStorageKey> key(section->CreateKey("probe"));
      WriteString(key.get(), "probe");
      return ReadString(key.get());
    });
    if (probe.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
      ADD_FAILURE() << what << ": a later call from another thread hangs";
      std::abort();  // the hung thread cannot be joined
    }
    EXPECT_EQ(probe.get(), "probe") << what;
  }
};

TEST_P(BadInputTest, EveryCallSucceedsOrThrowsItsCode) {
  BackendUnderTest backend(GetParam());
  Ref<IStorageSection> root(backend.Root());
  int number = 0;
  for (const Row& row : Rows()) {
    SCOPED_TRACE(row.what);
    const int32_t expected = row.expected[Column()];
    const std::string name = "subject" + std::to_string(number++);
    Ref<IStorageSection> section(root->CreateSection(name.c_str()));
    Ref<IStorageKey> key(section->CreateKey("present"));
    WriteString(key.get(), "value");
    Subject subject{root.get(), name, section.get(), key.get()};
    const std::string outcome = Outcome([&] { row.call(subject); });
    EXPECT_TRUE(Matches(outcome, expected)) << row.what << ": " << outcome << ", expected " << expected;
    key.reset();
    section.reset();
    ExpectNothingLocked(root.get(), row.what);
  }
}

// The host keeps sections and keys past the end of its storage.
TEST_P(BadInputTest, ObjectsKeptPastDeinitializeFailCleanly) {
  BackendUnderTest backend(GetParam());
  Ref<IStorageSection> root(backend.Root());
  Ref<IStorageSection> section(root->CreateSection("kept"));
  Ref<IStorageKey> key(section->CreateKey("value"));
  WriteString(key.get(), "before");
  backend.Close();

  // Registry objects keep their keys open and XML objects their document; a
  // shared DOM that is down has no memory left to reach.
  const int32_t expected = std::array<int32_t, 3>{kSucceeds, kSucceeds, kAnyCode}[Column()];
  const std::vector<std::pair<const char*, std::function<void()>>> calls{
      {"Read", [&] { EXPECT_EQ(ReadString(key.get()), "before"); }},
      {"Write", [&] { WriteString(key.get(), "after"); }},
      {"GetSize", [&] { key->GetSize(); }},
      {"CreateKey", [&] { Ref<IStorageKey>(section->CreateKey("new")); }},
      {"OpenSection", [&] { Ref<IStorageSection>(root->OpenSection("kept")); }},
      {"EnumKeys",
       [&] {
         Ref<storage::INamesEnumerator> names(section->EnumKeys());
         Names(names.get());
       }},
      {"DeleteKey", [&] { section->DeleteKey("value"); }},
  };
  for (const auto& [what, call] : calls) {
    const std::string outcome = Outcome(call);
    EXPECT_TRUE(Matches(outcome, expected)) << what << ": " << outcome;
  }
  key.reset();
  section.reset();
  root.reset();
}

INSTANTIATE_TEST_SUITE_P(Backends, BadInputTest,
                         ::testing::Values(storage::STORAGE_REGISTRY, storage::STORAGE_XML,
                                           storage::STORAGE_SHARED_DOM),
                         [](const auto& info) { return std::string(BackendName(info.param)); });

}  // namespace
}  // namespace settingstore::test
