// export and import as a user runs them: every backend into every other
// through each format gives the same dump, bad input changes nothing, and
// jq reads and edits what export writes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/CliRunner.h"

namespace settingstore::test {
namespace {

using Storage = Words (*)(const CliRunner&);
const std::pair<const char*, Storage> kBackends[] = {
    {"xml", &XmlStorage}, {"registry", &RegistryStorage}, {"shared", &SharedStorage}};

// What each source storage holds below "Src": every value type, names and
// text that are not UTF-8, the nameless key, a key named as its sibling
// section, an empty binary value and an empty section.
const std::vector<Words> kContent = {
    {"set", "Src/App/Window", "Title", "Caf\xc3\xa9 \xe2\x82\xac"},
    {"set", "Src/App/Window", "Latin", "caf\xe9"},
    {"set", "Src/App/Window", "k\xe9y", "v"},
    {"set", "--type", "int", "Src/App/Window", "Width", "--", "-1024"},
    {"set", "--type", "binary", "Src/App", "Blob", "00ff10a0"},
    {"set", "--type", "binary", "Src/App", "Empty", ""},
    {"set", "--type", "multi", "Src/App", "Names", "first", "second one"},
    {"set", "--type", "multi", "Src/App", "Mixed", "a", "\xff"},
    {"set", "Src/App", "", "nameless"},
    {"set", "Src/App", "Window", "a key named as a section"},
    {"set", "Src/Caf\xe9/Empty", "K", "v"},
    {"rm", "Src/Caf\xe9/Empty", "K"},
};

// The format words of each round trip; --reg-root gives a .reg file one root
// whichever storage wrote it.
const std::vector<Words> kFormats = {{"--format", "json"}, {"--format", "xml"}};
// The export's words, then the import's: a .reg file tells its own version.
const std::vector<std::pair<Words, Words>> kRoundTrips = {
    {kFormats[0], kFormats[0]},
    {kFormats[1], kFormats[1]},
    {{"--format", "reg", "--reg-root", "Src"}, {"--format", "reg", "--reg-root", "Src"}},
    {{"--format", "reg", "--reg-root", "Src", "--reg-version", "4"}, {"--format", "reg", "--reg-root", "Src"}}};

TEST(ExchangeTest, EveryBackendIntoEveryOtherThroughEachFormatDumpsTheSame) {
  const CliRunner runner;
  for (const auto& [name, storage] : kBackends) {
    for (const Words& step : kContent) runner.Ok(storage(runner) + step);
  }
  const std::string expected = runner.Ok(XmlStorage(runner) + Words{"dump", "Src"});
  for (size_t format = 0; format < kRoundTrips.size(); ++format) {
    const auto& [words, importWords] = kRoundTrips[format];
    for (const auto& [from, source] : kBackends) {
      const std::string file = runner.File(std::string("export-") + from + "-" + std::to_string(format));
      runner.Ok(source(runner) + Words{"export"} + words + Words{"-o", file, "Src"});
      for (const auto& [to, target] : kBackends) {
        SCOPED_TRACE(std::to_string(format) + " " + words[1] + " from " + from + " to " + to);
        const std::string copy = "Copy-" + std::to_string(format) + "-" + from;
        runner.Ok(target(runner) + Words{"import"} + importWords + Words{copy, file});
        EXPECT_EQ(runner.Ok(target(runner) + Words{"dump", copy}), expected);
      }
    }
  }
}

// A tree far deeper than a writer or reader that recursed per level could go
// on the tool's small stack, out of XML and into a shared storage. (The
// registry store is left out: it takes minutes over this many levels.)
TEST(ExchangeTest, DeepTreesGoOutAndInOnASmallStack) {
  constexpr int kDepth = 10000, kStackKib = 256;
  const CliRunner runner;
  std::string open, close;
  for (int i = 0; i < kDepth; ++i) open += R"(<section name="a">)", close += "</section>";
  runner.WriteFile("deep.xml",
                   "<r>" + open + R"(<key name="K" type="String" value="deep" size="5"/>)" + close + "</r>");
  runner.Ok(XmlStorage(runner) + Words{"load", runner.File("deep.xml")});
  const std::string expected = runner.Ok(XmlStorage(runner) + Words{"dump"});
  for (const Words& format : kFormats) {
    SCOPED_TRACE(format.back());
    const Words file = {"-o", runner.File("deep")};
    EXPECT_EQ(runner.Run(XmlStorage(runner) + Words{"export"} + format + file, kStackKib).status, 0);
    const Words into = {format.back(), runner.File("deep")};
    EXPECT_EQ(runner.Run(SharedStorage(runner) + Words{"import"} + format + into, kStackKib).status, 0);
    EXPECT_EQ(runner.Ok(SharedStorage(runner) + Words{"dump", format.back()}), expected);
  }
}

// Each document holds a good section before the bad item: it is refused whole
// with status 2 and the place of the fault, and the storage stays as it was.
TEST(ExchangeTest, BadInputIsRefusedWithItsPlaceAndChangesNothing) {
  const CliRunner runner;
  const Words storage = XmlStorage(runner);
  runner.Ok(storage + Words{"set", "Keep", "K", "v"});
  const std::string before = runner.Ok(storage + Words{"dump"});
  const std::string good = R"({"Good": {"k": {"type": "string", "value": "g"}},)";
  const struct {
    const char* format;
    std::string document;
    std::string error;  // the start of the message after "settingstore: "
  } kCases[] = {
      {"json", good + "\n\"Bad\": {\"k\": {\"type\": \"string\" \"value\": \"x\"}}}",
       "line 2, column 38: syntax error"},
      {"json", good + "\n\"Bad\": {\"k\": {\"type\": \"hex\", \"value\": \"00\"}}}",
       "line 2, column 27: unknown value type"},
      {"json", good + "\n\"Bad\": {\"k\": {\"type\": \"integer\", \"value\": 2147483648}}}",
       "line 2, column 53: 2147483648 does not fit a 32-bit integer"},
      {"json", good + "\n\"Bad\": {\"k\": {\"type\": \"binary\", \"value\": \"AP8\"}}}",
       "line 2, column 46: invalid Base64"},
      {"json", good + "\n\"Bad\": {\"k\": {\"type\": \"string\", \"value\": \"caf\xe9\"}}}",
       "line 2, column 47: syntax error while parsing value - invalid string: ill-formed UTF-8"},
      {"json", good + "\n\"B/ad\": {}}", "line 2, column 6: section name 'B/ad' is not one name"},
      {"json", good + "\n\"good\": {}}", "line 2, column 6: sections 'Good' and 'good' would be one"},
      {"json", std::string("\xff\xfe{\0}\0", 6), "line 1, column 1: the file is UTF-16 text"},
      {"xml", "<r><section name=\"Good\"/>\n<section name=\"Bad\"></r>", "XML parse error at line 2, column"},
  };
  for (const auto& [format, document, error] : kCases) {
    runner.WriteFile("doc", document);
    const CliResult result =
        runner.Run(storage + Words{"import", "--format", format, "Target", runner.File("doc")});
    EXPECT_EQ(result.status, 2) << document;
    EXPECT_EQ(result.err.rfind("settingstore: " + error, 0), 0u) << result.err;
    EXPECT_EQ(runner.Ok(storage + Words{"dump"}), before) << document;
  }
}

#ifndef _WIN32
// jq finds a value in the export, and a copy that jq edited imports back
// through standard input.
TEST(ExchangeTest, JqReadsTheExportAndItsEditImportsBack) {
  const CliRunner runner;
  const Words storage = XmlStorage(runner);
  runner.Ok(storage + Words{"set", "App/Window", "Title", "Caf\xc3\xa9"});
  runner.Ok(storage + Words{"set", "--type", "int", "App/Window", "Width", "1280"});
  runner.Ok(storage + Words{"export", "--format", "json", "-o", runner.File("settings.json")});
  const auto shell = [&](const std::string& script) {
    const HelperStreams to{runner.File("jq-out"), runner.File("jq-err")};
    HelperProcess jq({"-c", script, "sh", SETTINGSTORE_CLI, runner.File("settings.json"), runner.File("xml")},
                     &to, "/bin/sh");
    EXPECT_EQ(jq.Wait(std::chrono::minutes(1)), 0) << runner.ReadFile("jq-err");
    return runner.ReadFile("jq-out");
  };
  EXPECT_EQ(shell(R"(jq -r '.App.Window.Title.value, .App.Window.Width.value' "$2")"), "Caf\xc3\xa9\n1280\n");
  shell(
      R"(jq '.App.Window.Width.value = 1920 | .App.Window.Tags = {"type": "multi-string", "value": ["a", "b"]}')"
      R"( "$2" | "$1" --path "$3" import --format json)");
  EXPECT_EQ(runner.Ok(storage + Words{"get", "App/Window", "Width"}), "1920\n");
  EXPECT_EQ(runner.Ok(storage + Words{"get", "App/Window", "Tags"}), "a\nb\n");
  EXPECT_EQ(runner.Ok(storage + Words{"get", "App/Window", "Title"}), "Caf\xc3\xa9\n");
}
#endif

}  // namespace
}  // namespace settingstore::test
