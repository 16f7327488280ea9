// .reg files: what we write reads back to the same tree in both versions,
// regedit's own forms read as regedit means them, and bad input fails on
// its line.
#include "exchange/RegFormat.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

namespace cli::exchange {
namespace {

using storage::Type;
using Flat = std::tuple<int, std::string, std::string, int, std::string>;

Flat Flatten(const Change& change) {
  return {static_cast<int>(change.kind), change.section, change.name, change.value.type, change.value.bytes};
}

std::vector<Flat> Flatten(const std::vector<Change>& changes) {
  std::vector<Flat> flat;
  for (const Change& change : changes) flat.push_back(Flatten(change));
  return flat;
}

// The changes that make `tree` at `path`: each section, then its keys.
void Expected(const Section& tree, const std::string& path, std::vector<Flat>& flat) {
  flat.push_back({static_cast<int>(Change::Kind::kCreateSection), path, "", 0, ""});
  for (const auto& [name, value] : tree.keys)
    flat.push_back({static_cast<int>(Change::Kind::kSetValue), path, name, value.type, value.bytes});
  for (const auto& [name, child] : tree.sections)
    Expected(child, path.empty() ? name : path + "\\" + name, flat);
}

// A 5.00 file: UTF-16LE after its byte-order mark.
std::string Wide(const std::u16string& text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t unit : text) {
    bytes += static_cast<char>(unit & 0xFF);
    bytes += static_cast<char>(unit >> 8);
  }
  return bytes;
}

using namespace std::string_literals;
constexpr const char* kRoot = "HKEY_CURRENT_USER\\Software\\Example";

TEST(RegFormat, RoundTripsEveryTypeAndOddNameInBothVersions) {
  Section tree;
  tree.keys = {
      {"", {storage::TYPE_STRING, "default\0"s}},
      {"@", {storage::TYPE_INTEGER, "\x2c\x01\0\0"s}},
      {"quote\"back\\slash", {storage::TYPE_STRING, "C:\\dir \"x\"\0"s}},
      {"high\xE9\x80\x81\x9D", {storage::TYPE_STRING, "caf\xE9 \x80\x8D\0"s}},
      {"bytes", {storage::TYPE_BINARY, std::string(40, '\xA5') + "\x00\xFF"s}},
      {"empty bytes", {storage::TYPE_BINARY, ""}},
      {"list", {storage::TYPE_MULTI_STRING, "one\0tw\x8Fo\0\0"s}},
      {"no NUL", {storage::TYPE_STRING, "ab"}},
      {"two lines", {storage::TYPE_STRING, "a\r\nb\0"s}},
      {"line\nbreak", {storage::TYPE_INTEGER, "\xFF\xFF\xFF\xFF"s}},
  };
  Section grand;
  grand.keys = {{"deep", {storage::TYPE_MULTI_STRING, "\0"s}}};
  Section child;
  child.sections = {{"grand\xFC", grand}};
  tree.sections = {{"child", child}, {"empty", {}}};
  std::vector<Flat> expected;
  Expected(tree, "", expected);

  for (int version : {4, 5}) {
    SCOPED_TRACE(version);
    const std::string file = WriteReg(tree, kRoot, version);
    EXPECT_EQ(Flatten(ReadReg(file, kRoot)), expected);
    // And as regedit writes it: the header, CRLF, dword digits, short lines.
    const std::string text = version == 4 ? file : file.substr(2);
    std::string narrow;
    for (size_t index = 0; index < text.size(); index += version == 4 ? 1 : 2) narrow += text[index];
    EXPECT_EQ(narrow.substr(0, narrow.find("\r\n")),
              version == 4 ? "REGEDIT4" : "Windows Registry Editor Version 5.00");
    EXPECT_NE(narrow.find("\r\n\"@\"=dword:0000012c\r\n"), std::string::npos);
    EXPECT_NE(narrow.find("\r\n@=\"default\"\r\n"), std::string::npos);
    EXPECT_NE(narrow.find("\r\n[HKEY_CURRENT_USER\\Software\\Example\\child\\grand"), std::string::npos);
    size_t start = 0;
    for (size_t end; (end = narrow.find("\r\n", start)) != std::string::npos; start = end + 2)
      EXPECT_LE(end - start, 80u);
  }
  // 5.00 text is code page 1252: é, €, and a byte the code page leaves out.
  EXPECT_NE(WriteReg(tree, kRoot, 5).find("c\0a\0f\0\xE9\0 \0\xAC\x20\x8D\0\"\0"s), std::string::npos);
}

TEST(RegFormat, ReadsRegeditForms) {
  const std::string file = Wide(
      u"Windows Registry Editor Version 5.00\r\n\r\n"
      u"; a comment\r\n"
      u"[hkcu\\software\\EXAMPLE\\Sub]\r\n"
      u"\"bin\"=hex:01,02,\\\r\n  03\r\n"
      u"\"expand\"=hex(2):25,00,50,00,00,00\r\n"
      u"\"none\"=hex(0):\r\n"
      u"\"le\"=hex(4):01,00,00,80 ; trailing comment\r\n"
      u"\"euro\"=\"\u20AC \u0081\"\r\n"
      u"\"list\"=hex(7):61,00,00,00,00,00\r\n"
      u"\"gone\"=-\r\n"
      u"[-HKEY_CURRENT_USER\\Software\\Example\\Old]\r\n");
  const std::vector<Flat> expected = {
      {static_cast<int>(Change::Kind::kCreateSection), "Sub", "", 0, ""},
      {static_cast<int>(Change::Kind::kSetValue), "Sub", "bin", storage::TYPE_BINARY, "\x01\x02\x03"},
      {static_cast<int>(Change::Kind::kSetValue), "Sub", "expand", storage::TYPE_STRING, "%P\0"s},
      {static_cast<int>(Change::Kind::kSetValue), "Sub", "none", storage::TYPE_BINARY, ""},
      {static_cast<int>(Change::Kind::kSetValue), "Sub", "le", storage::TYPE_INTEGER, "\x01\0\0\x80"s},
      {static_cast<int>(Change::Kind::kSetValue), "Sub", "euro", storage::TYPE_STRING, "\x80 \x81\0"s},
      {static_cast<int>(Change::Kind::kSetValue), "Sub", "list", storage::TYPE_MULTI_STRING, "a\0\0"s},
      {static_cast<int>(Change::Kind::kDeleteKey), "Sub", "gone", 0, ""},
      {static_cast<int>(Change::Kind::kDeleteSection), "Old", "", 0, ""},
  };
  EXPECT_EQ(Flatten(ReadReg(file, "HKCU\\Software\\Example")), expected);
}

TEST(RegFormat, BadInputFailsOnItsLine) {
  const struct {
    std::string file;
    int line;
  } cases[] = {
      {"REGEDIT5\r\n", 1},
      {"\r\nREGEDIT4\r\n", 1},
      {"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"a\"=hex(9):00\r\n", 4},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"a\"=qword:1\r\n", 3},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"a\"=dword:100000000\r\n", 3},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"a\"=hex:00,\\\r\n  0\r\n", 3},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"a\"=hex(4):00,00\r\n", 3},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"a\"=\"abc\r\n", 3},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"a\"=\"a\\tb\"\r\n", 3},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"a\"=\"b\" c\r\n", 3},
      {"REGEDIT4\r\n\r\n[HKEY_CURRENT_USER\\Software\\Other]\r\n", 3},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\ExampleToo]\r\n", 2},
      {"REGEDIT4\r\n[HKEY_CURRENT_USER\\Software\\Example\\a/b]\r\n", 2},
      {"REGEDIT4\r\n\"a\"=\"b\"\r\n", 2},
      {"REGEDIT4\r\n[-HKEY_CURRENT_USER\\Software\\Example]\r\n", 2},
      {"REGEDIT4\r\n[-HKEY_CURRENT_USER\\Software\\Example\\x]\r\n\"a\"=\"b\"\r\n", 3},
      {"Windows Registry Editor Version 5.00\r\n\r\n\"caf\xE9\"=\"\"\r\n", 3},
      {Wide(u"Windows Registry Editor Version "
            u"5.00\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"a\"=\"\u0100\"\r\n"),
       3},
      {Wide(u"Windows Registry Editor Version "
            u"5.00\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n\"a\"=hex(7):41\r\n"),
       3},
      {Wide(u"Windows Registry Editor Version 5.00\r\n[HKEY_CURRENT_USER\\Software\\Example]\r\n"
            u"\"a\"=hex(1):00,01\r\n"),
       3},
  };
  for (const auto& [file, line] : cases) {
    SCOPED_TRACE(file);
    try {
      ReadReg(file, kRoot);
      ADD_FAILURE() << "read without error";
    } catch (const InputError& error) {
      EXPECT_EQ(std::string(error.what()).rfind("line " + std::to_string(line) + ": ", 0), 0u)
          << error.what();
      EXPECT_EQ(error.status(), kUsage);
    }
  }
  Section slash;
  slash.sections = {{"a\\b", {}}};
  EXPECT_THROW(WriteReg(slash, kRoot, 5), CliError);
}

}  // namespace
}  // namespace cli::exchange
