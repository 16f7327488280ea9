// The settingstore tool driven as a shell user would: each command on each
// backend from one table of sessions, then what it does on its own: options,
// exit statuses, deep and recorded documents, damaged files.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "tools/CliRunner.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;
enum Backend { kXml = 1, kRegistry = 2, kShared = 4, kAll = 7 };

// Whether text matches pattern, in which each '*' stands for any run of
// characters; a pattern without one is compared byte for byte.
bool Matches(std::string_view text, std::string_view pattern) {
  const size_t star = pattern.find('*');
  if (star == std::string_view::npos) return text == pattern;
  if (!text.starts_with(pattern.substr(0, star))) return false;
  for (size_t at = star; at <= text.size(); ++at)
    if (Matches(text.substr(at), pattern.substr(star + 1))) return true;
  return false;
}

// One command of a session and how it must end; `out` and `err` are patterns
// (a `*` stands for any text, "" for none). Words "@name" stand for the
// runner's file `name`; `doc`, when given, is written to @doc first. `out`
// "@name" keeps the output in file `name`, or once that exists must equal it.
struct Step {
  Words command;
  int status = 0;
  std::string out = "";
  std::string err = "";
  std::string doc = "";
  int backends = kAll;
};

// Runs the steps that concern `backend` (all of them for kAll) in order, each
// after the storage options.
void Play(const CliRunner& runner, int backend, const Words& storage, const std::vector<Step>& steps) {
  for (const Step& step : steps) {
    if ((step.backends & backend) == 0) continue;
    if (!step.doc.empty()) runner.WriteFile("doc", step.doc);
    Words command = storage;
    for (const std::string& word : step.command)
      command.push_back(word[0] == '@' ? runner.File(word.substr(1)) : word);
    const CliResult result = runner.Run(command);
    std::string out = step.out;
    if (out.starts_with("@") && !fs::exists(runner.File(out.substr(1))))
      runner.WriteFile(out.substr(1), result.out);
    if (out.starts_with("@")) out = runner.ReadFile(out.substr(1));
    SCOPED_TRACE(::testing::PrintToString(step.command) + " on backend " + std::to_string(backend));
    EXPECT_EQ(result.status, step.status) << result.err;
    EXPECT_TRUE(Matches(result.out, out)) << result.out.substr(0, 300);
    EXPECT_TRUE(Matches(result.err, step.err)) << result.err.substr(0, 300);
  }
}

const std::string kGood =
    R"(<section name="Good"><key name="G" type="String" value="g" size="2"/></section>)";

// Sorted first, "Good" would be copied before the bad item if a document were
// not checked whole: each is refused whole, before anything lands.
Step Refused(const std::string& items, const std::string& reported) {
  return {.command = {"load", "@doc"},
          .status = 3,
          .err = "settingstore: " + reported + "*; nothing was loaded\n",
          .doc = "<r>" + kGood + items + "</r>"};
}

const std::vector<Step> kSession = {
    {{"set", "App/Window", "Title", "hello world"}},
    {{"set", "--type", "int", "App/Window", "Width", "--", "-1024"}},
    {{"set", "--type", "int", "App/Window", "Padded", "010"}},
    {{"set", "--type", "binary", "App/Window", "Blob", "00ff10A0"}},
    {{"set", "--type", "multi", "App/Window", "Names", "first", "second one"}},
    {{"get", "App/Window", "Title"}, 0, "hello world\n"},
    {{"get", "App/Window", "Width"}, 0, "-1024\n"},
    {{"get", "App/Window", "Padded"}, 0, "10\n"},
    {{"get", "App/Window", "Blob"}, 0, "00ff10a0\n"},
    {{"get", "App/Window", "Names"}, 0, "first\nsecond one\n"},
    {{"get", "--raw", "App/Window", "Title"}, 0, std::string("hello world\0", 12)},
    {{"get", "--raw", "App/Window", "Width"}, 0, std::string("\x00\xfc\xff\xff", 4)},
    {{"get", "--raw", "App/Window", "Names"}, 0, std::string("first\0second one\0\0", 18)},
    // Overwrites, binary from a file, section paths of either separator.
    {{"set", "--type", "int", "App/Window", "Title", "7"}},
    {{"get", "App/Window", "Title"}, 0, "7\n"},
    {.command = {"set", "--type", "binary", "--from-file", "@doc", "S", "Blob"},
     .doc = std::string("\x01\x00\x02\xfe", 4)},
    {{"get", "S", "Blob"}, 0, "010002fe\n"},
    {{"set", "A\\B/C", "K", "v"}},
    {{"get", "A/B\\C", "K"}, 0, "v\n"},
    {{"get", "/A//B/C/", "K"}, 0, "v\n"},
    // Listings: sections, then keys with type and size; -r the whole subtree.
    {{"set", "Top", "Zeta", "abc"}},
    {{"set", "--type", "int", "Top", "Alpha", "1"}},
    {{"set", "Top/Sub/Deep", "Leaf", "x"}},
    {{"set", "Top/Other", "B", "y"}},
    {{"ls", "-r", "Top"},
     0,
     "Other/\nOther/B\tstring\t2\nSub/\nSub/Deep/\nSub/Deep/"
     "Leaf\tstring\t2\nAlpha\tint\t4\nZeta\tstring\t4\n"},
    // rm, rmsection, and what is not there, in the same words on every backend.
    {{"set", "R", "Keep", "1"}},
    {{"set", "R", "Gone", "2"}},
    {{"rm", "R", "Gone"}},
    {{"ls", "R"}, 0, "Keep\tstring\t2\n"},
    {{"rm", "R", "Gone"}, 1, "", "settingstore: key 'Gone' not found\n"},
    {{"rm", "Nowhere", "Keep"}, 1, "", "settingstore: section 'Nowhere' not found\n"},
    {{"load", "@absent.xml"}, 1, "", "settingstore: *"},
    {{"set", "T/B", "K", "v"}},
    {{"set", "T/Empty/X", "K", "v"}},
    {{"rm", "T/Empty/X", "K"}},
    {{"rmsection", "T/Empty/X"}},
    {{"rmsection", "T"}, 3, "", "settingstore: section 'T' is not empty (use -r): *"},
    {{"get", "T/B", "K"}, 0, "v\n"},
    {{"rmsection", "-r", "T"}},
    {{"rmsection", "T"}, 1, "", "*"},
    {{"rmsection", "/"}, 2, "", "*"},
    // Bad values are usage errors and change nothing.
    {{"set", "--type", "int", "S", "Blob", "12x"}, 2, "", "*"},
    {{"set", "--type", "int", "S", "Blob", "4294967296"}, 2, "", "*"},
    {{"set", "--type", "binary", "S", "Blob", "abc"}, 2, "", "*"},
    {{"get", "S", "Blob"}, 0, "010002fe\n"},
    // dump, then load copies a subtree elsewhere; the nameless key is the
    // registry's default value.
    {{"set", "From/Inner", "Text", "t\xe9xt"}},
    {{"set", "--type", "binary", "From", "Blob", ""}},
    {{"set", "--type", "multi", "From/Inner", "Many", "a", "b"}},
    {{"set", "From", "", "nameless"}},
    {{"dump", "From"}, 0, "@from.xml"},
    {{"load", "@from.xml", "To/Here"}},
    {{"dump", "To/Here"}, 0, "@from.xml"},
    {{"get", "To/Here/Inner", "Many"}, 0, "a\nb\n"},
    {{"ls", "To/Here"}, 0, "Inner/\n\tstring\t9\nBlob\tbinary\t0\n"},
    {{"get", "To/Here", ""}, 0, "nameless\n"},
    // Documents the backends could not hold as they are: section names that
    // split into a path (or into nothing, which once made the copy reopen the
    // same section for ever), names equal but for case, a value that cannot
    // be read, a document cut short.
    {{"dump"}, 0, "@before.xml"},
    {{"load", "@doc"}, 3, "", "settingstore: *", "<vel.node><section name=\"X\">"},
    Refused(R"(<section name="b:"/>)", "section name 'b:' at the top"),
    Refused(R"(<section name="\\"/>)", R"(section name '\\' at the top)"),
    Refused(R"(<section name="a/b"/>)", "section name 'a/b' at the top"),
    Refused(R"(<section name=""/>)", "section name '' at the top"),
    Refused(R"(<section name="Z"><section name="Y"><section name="C:x\y"/></section></section>)",
            R"(section name 'C:x\y' in 'Z/Y')"),
    Refused(R"(<section name="Z"/><section name="z"/>)", "sections 'Z' and 'z' at the top would be one"),
    Refused(
        R"(<section name="Z"><key name="k" type="String" value="1" size="2"/><key name="K" type="String" value="2" size="2"/></section>)",
        "keys 'K' and 'k' in 'Z' would be one"),
    Refused(R"(<section name="Z"><key name="NoSize" type="String" value="v"/></section>)",
            "key 'NoSize' in 'Z' cannot be read"),
    // Nor does a refused document leave the section it was to go into.
    {{"load", "@doc", "Target/Below"}, 3, "", "settingstore: *; nothing was loaded\n"},
    {{"dump"}, 0, "@before.xml"},
    // Key names may hold separators: keys are never split. A document may
    // claim any size for an integer; its value is four bytes still.
    {.command = {"load", "@doc", "Keys"},
     .doc = R"(<r><section name="S"><key name="a/b:c\d" type="String" value="v" size="2"/></section>)"
            R"(<key name="W" type="Integer" value="-640" size="100000"/></r>)"},
    {{"get", "Keys/S", "a/b:c\\d"}, 0, "v\n"},
    {{"ls", "-r", "Keys"}, 0, "S/\nS/a/b:c\\d\tstring\t2\nW\tint\t4\n"},
    {{"get", "--raw", "Keys", "W"}, 0, std::string("\x80\xfd\xff\xff", 4)},
    // check and stat are for shared storages.
    {.command = {"check"}, .status = 2, .err = "*", .backends = kXml},
    {.command = {"stat"}, .status = 2, .err = "*", .backends = kRegistry},
    {{"dump"}, 0, "@end.xml"},
};

// One runner for all: every dump kept in a file by the first backend must come
// out the same from the others, so each is also a copy across backends.
TEST(ToolTest, EachCommandOnEachBackendDumpsTheSame) {
  const CliRunner runner;
  for (const auto& [backend, storage] :
       {std::pair{kShared, &SharedStorage}, {kXml, &XmlStorage}, {kRegistry, &RegistryStorage}}) {
    Play(runner, backend, storage(runner), kSession);
  }
  // Loaded into an empty XML storage, the dump is that storage's own file too.
  fs::create_directories(runner.File("copy"));
  EXPECT_EQ(runner.Run({"--type", "xml", "--path", runner.File("copy"), "load", runner.File("end.xml")}).status, 0);
  EXPECT_EQ(runner.ReadFile("copy/.storage"), runner.ReadFile("end.xml"));
}

// The tool on its own: usage, registry roots and databases, storages that are
// not there or cannot be saved.
TEST(ToolTest, OptionsPathsAndExitStatuses) {
#ifdef _WIN32
  GTEST_SKIP() << "its registry cases need a database of their own, and Windows has the one registry";
#endif
  const CliRunner runner;
  runner.WriteFile("plain", "not a directory");
  runner.WriteFile("text.db", std::string(8192, 'x'));
  fs::create_directories(runner.File("xml"));
  // A lock file planted as a link is never followed nor waited on for ever.
  fs::create_directories(runner.File("locked"));
  fs::create_symlink(runner.File("plain"), runner.File("locked/.storage.lock"));
  const Words registry = {"--type", "registry", "--registry-db", "@registry.db", "--path"};
  const Words noDatabase = {"--type", "registry", "--registry-db", "@text.db", "--path"};
  std::vector<Step> steps = {
      {{"--version"}, 0, "1.1\n"},
      {{"--help"}, 0, "*Subcommands:*"},
      {{"--type", "ini", "ls"}, 2, "", "settingstore: *"},
      {{"frobnicate"}, 2, "", "*"},
      {{"get", "OnlySection"}, 2, "", "*"},
      {{"ls", "--bogus"}, 2, "", "*"},
      // A read of a storage that is not there (a mistyped --path) is "not
      // found" and makes nothing; a write makes the storage.
      {{"--type", "xml", "--path", "@no/such", "ls"}, 1, "", "settingstore: no storage at '*"},
      {{"--type", "xml", "--path", "@xml", "ls"}, 1, "", "settingstore: no storage at '*"},
      {{"--type", "shared", "--path", "@no/such", "ls"}, 1, "", "settingstore: no storage at '*"},
      {registry + Words{"HKCU\\Software\\X", "ls"}, 1, "", "settingstore: no storage at '*"},
      {{"--type", "xml", "--path", "@new/xml", "set", "S", "K", "v"}},
      {{"--type", "xml", "--path", "@new/xml", "get", "S", "K"}, 0, "v\n"},
      // Registry roots in any case and in their long forms; a path not there
      // is not found for reads and made for writes.
      {registry + Words{"HKCU\\Software\\Roots", "set", "S", "K", "v"}},
      {registry + Words{"hkcu\\Software\\Roots", "get", "S", "K"}, 0, "v\n"},
      {registry + Words{"HKEY_CURRENT_USER/Software/Roots", "get", "S", "K"}, 0, "v\n"},
      {registry + Words{"Hkcu Software\\Roots", "get", "S", "K"}, 0, "v\n"},
      {registry + Words{"HKXX\\foo", "ls"}, 2, "", "settingstore: unknown registry root 'HKXX'*"},
      {{"--type", "0", "--registry-db", "@registry.db", "--path", "HKCU/Software/Elsewhere", "set", "S", "K",
        "v"}},
      {registry + Words{"HKCU", "ls", "-r", "Software"}, 0,
       "Elsewhere/\nElsewhere/S/\nElsewhere/S/K\tstring\t2\nRoots/\nRoots/S/\nRoots/S/K\tstring\t2\n"},
      // A database that is no database, said as the tool's own.
      {noDatabase + Words{"HKCU\\Software\\X", "ls"}, 3, "", "settingstore: *file is not a database*"},
      {.command = {"--type", "xml", "--path", "@locked", "set", "S", "K", "v"},
       .status = 3,
       .err = "settingstore: cannot use the lock file *"},
      // A failed save is a failure; a shared storage's files are written when
      // its last process leaves, and the message names the file.
      {{"--type", "xml", "--path", "@plain/sub", "set", "S", "K", "v"}, 3, "", "settingstore: Cannot save*"},
      {.command = {"--type", "shared", "--path", "@plain/sub", "set", "S", "K", "v"},
       .status = 3,
       .err = "settingstore: the storage could not be saved, its changes are lost: *plain/sub/.storage*"},
  };
  Play(runner, kAll, {}, steps);
  EXPECT_FALSE(fs::exists(runner.File("no")));
  EXPECT_TRUE(fs::is_empty(runner.File("xml")));
  EXPECT_EQ(runner.ReadFile("text.db"), std::string(8192, 'x'));
}

// A document nested far deeper than a copy that recursed per level could go
// on the tool's small stack; removing it walks it as deep. (The registry store
// is left out: it takes minutes over this many levels.)
TEST(ToolTest, DeepDocumentsLoadAndAreRemovedOnASmallStack) {
  constexpr int kDepth = 10000, kStackKib = 256;
  std::string open, close, deepest = "Top";
  for (int i = 0; i < kDepth; ++i) open += R"(<section name="a">)", close += "</section>", deepest += "/a";
  for (const auto storage : {&XmlStorage, &SharedStorage}) {
    const CliRunner runner;
    runner.WriteFile(
        "deep.xml", "<r>" + open + R"(<key name="K" type="String" value="deep" size="5"/>)" + close + "</r>");
    runner.WriteFile("bad.xml", "<r>" + open + R"(<section name="x/y"/>)" + close + "</r>");
    EXPECT_EQ(runner.Run(storage(runner) + Words{"load", runner.File("deep.xml"), "Top"}, kStackKib).status,
              0);
    const CliResult bad = runner.Run(storage(runner) + Words{"load", runner.File("bad.xml"), ""}, kStackKib);
    EXPECT_EQ(bad.status, 3);
    EXPECT_EQ(bad.err.rfind("settingstore: section name 'x/y' in 'a/a/a/", 0), 0u) << bad.err.substr(0, 200);
    Play(runner, kAll, storage(runner),
         {{{"get", deepest, "K"}, 0, "deep\n"}, {{"ls", deepest}, 0, "K\tstring\t5\n"}});
    EXPECT_EQ(runner.Run(storage(runner) + Words{"rmsection", "-r", "Top"}, kStackKib).status, 0);
    Play(runner, kAll, storage(runner), {{{"ls"}, 0, ""}});
  }
}

// Each document that once broke `load` now loads or is refused with a
// message, and never ends the tool by a signal.
TEST(ToolTest, LoadSurvivesEveryRecordedReproducer) {
  const CliRunner runner;
  int replayed = 0;
  for (const auto& entry : fs::directory_iterator(SETTINGSTORE_CLI_LOAD_REGRESSIONS)) {
    const CliResult result = runner.Run(XmlStorage(runner) + Words{"load", fs::absolute(entry.path()).string()});
    EXPECT_TRUE(result.status == 0 || (result.status == 3 && result.err.starts_with("settingstore: ")))
        << entry.path() << ": " << result.status << " " << result.err;
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

TEST(ToolTest, ADamagedXmlFileIsMovedAsideAndReported) {
  const CliRunner runner;
  const Words storage = XmlStorage(runner);
  // The default file is never written, so its damage is no loss: the command runs.
  runner.WriteFile("xml/.storage.default", "<settings><key");
  const std::string storageFile = runner.File("xml/.storage");
  Play(runner, kAll, storage,
       {{{"set", "S", "K", "v"}}, {{"get", "S", "K"}, 0, "v\n"}});  // the load makes the backup
  EXPECT_EQ(runner.ReadFile("xml/.storage.default"), "<settings><key");
  runner.WriteFile("xml/.storage", "<settings><key");
  Play(runner, kAll, storage,
       {{{"set", "S", "K2", "w"},
         3,
         "",
         "settingstore: " + storageFile + " is damaged*moved it to " + storageFile +
             ".damaged*settingstore: Loaded " + storageFile + ".backup instead*"},
        {{"get", "S", "K"}, 0, "v\n"},
        {{"get", "S", "K2"}, 1, "", "*"}});  // no command runs on a storage found damaged
  EXPECT_EQ(runner.ReadFile("xml/.storage.damaged"), "<settings><key");
}

}  // namespace
}  // namespace settingstore::test
