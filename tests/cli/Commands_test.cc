// Each command on each backend the tool opens, driven as a shell user would.
#include <gtest/gtest.h>

#include <string>

#include "cli/CliRunner.h"

namespace settingstore::test {
namespace {

using Storage = std::vector<std::string> (*)(const CliRunner&);

class CommandsTest : public ::testing::TestWithParam<Storage> {
 protected:
  CliResult run(const std::vector<std::string>& arguments) {
    return runner_.run(GetParam()(runner_) + arguments);
  }
  // Runs a command that must succeed and returns its standard output.
  std::string ok(const std::vector<std::string>& arguments) {
    const CliResult result = run(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.err, "");
    return result.out;
  }

  CliRunner runner_;
};

TEST_P(CommandsTest, SetThenGetEachValueType) {
  ok({"set", "App/Window", "Title", "hello world"});
  ok({"set", "--type", "int", "App/Window", "Width", "--", "-1024"});
  ok({"set", "--type", "int", "App/Window", "Mask", "0x7fffffff"});
  ok({"set", "--type", "int", "App/Window", "Padded", "010"});
  ok({"set", "--type", "binary", "App/Window", "Blob", "00ff10A0"});
  ok({"set", "--type", "multi", "App/Window", "Names", "first", "second one"});
  ok({"set", "--type", "multi", "App/Window", "None"});

  EXPECT_EQ(ok({"get", "App/Window", "Title"}), "hello world\n");
  EXPECT_EQ(ok({"get", "App/Window", "Width"}), "-1024\n");
  EXPECT_EQ(ok({"get", "App/Window", "Mask"}), "2147483647\n");
  EXPECT_EQ(ok({"get", "App/Window", "Padded"}), "10\n");
  EXPECT_EQ(ok({"get", "App/Window", "Blob"}), "00ff10a0\n");
  EXPECT_EQ(ok({"get", "App/Window", "Names"}), "first\nsecond one\n");

  EXPECT_EQ(ok({"get", "--raw", "App/Window", "Title"}), std::string("hello world\0", 12));
  EXPECT_EQ(ok({"get", "--raw", "App/Window", "Blob"}), std::string("\x00\xff\x10\xa0", 4));
  EXPECT_EQ(ok({"get", "--raw", "App/Window", "Width"}), std::string("\x00\xfc\xff\xff", 4));
  EXPECT_EQ(ok({"get", "--raw", "App/Window", "Names"}), std::string("first\0second one\0\0", 18));
  EXPECT_EQ(ok({"get", "--raw", "App/Window", "None"}), std::string(1, '\0'));
}

TEST_P(CommandsTest, SetOverwritesAndTakesBinaryFromAFile) {
  ok({"set", "S", "K", "old"});
  ok({"set", "--type", "int", "S", "K", "7"});
  EXPECT_EQ(ok({"get", "S", "K"}), "7\n");

  runner_.writeFile("blob.bin", std::string("\x01\x00\x02\xfe", 4));
  ok({"set", "--type", "binary", "--from-file", runner_.file("blob.bin"), "S", "Blob"});
  EXPECT_EQ(ok({"get", "S", "Blob"}), "010002fe\n");
}

TEST_P(CommandsTest, SectionPathsTakeSlashesAndBackslashes) {
  ok({"set", "A\\B/C", "K", "v"});
  EXPECT_EQ(ok({"get", "A/B\\C", "K"}), "v\n");
  EXPECT_EQ(ok({"get", "/A//B/C/", "K"}), "v\n");
}

TEST_P(CommandsTest, LsListsSectionsThenKeysAndTheWholeSubtreeWithR) {
  ok({"set", "Top", "Zeta", "abc"});
  ok({"set", "--type", "int", "Top", "Alpha", "1"});
  ok({"set", "Top/Sub/Deep", "Leaf", "x"});
  ok({"set", "Top/Other", "B", "y"});

  EXPECT_EQ(ok({"ls", "Top"}), "Other/\nSub/\nAlpha\tint\t4\nZeta\tstring\t4\n");
  EXPECT_EQ(ok({"ls"}), "Top/\n");
  EXPECT_EQ(ok({"ls", "-r", "Top"}),
            "Other/\nOther/B\tstring\t2\nSub/\nSub/Deep/\nSub/Deep/Leaf\tstring\t2\n"
            "Alpha\tint\t4\nZeta\tstring\t4\n");
}

TEST_P(CommandsTest, RmDeletesAKeyAndAMissingOneIsNotFound) {
  ok({"set", "S", "Keep", "1"});
  ok({"set", "S", "Gone", "2"});
  ok({"rm", "S", "Gone"});
  EXPECT_EQ(ok({"ls", "S"}), "Keep\tstring\t2\n");

  // In the same words on every backend.
  const CliResult again = run({"rm", "S", "Gone"});
  EXPECT_EQ(again.status, 1);
  EXPECT_EQ(again.err, "settingstore: key 'Gone' not found\n");
  const CliResult nowhere = run({"rm", "Nowhere", "Keep"});
  EXPECT_EQ(nowhere.status, 1);
  EXPECT_EQ(nowhere.err, "settingstore: section 'Nowhere' not found\n");
}

TEST_P(CommandsTest, RmsectionNeedsRForASubtree) {
  ok({"set", "A/B", "K", "v"});
  ok({"set", "A/Empty/X", "K", "v"});
  ok({"rm", "A/Empty/X", "K"});
  ok({"rmsection", "A/Empty/X"});

  const CliResult refused = run({"rmsection", "A"});
  EXPECT_EQ(refused.status, 3);
  EXPECT_NE(refused.err.find("not empty"), std::string::npos) << refused.err;
  EXPECT_EQ(ok({"get", "A/B", "K"}), "v\n");

  ok({"rmsection", "-r", "A"});
  EXPECT_EQ(ok({"ls"}), "");
  EXPECT_EQ(run({"rmsection", "A"}).status, 1);
  EXPECT_EQ(run({"rmsection", "/"}).status, 2);
}

TEST_P(CommandsTest, DumpThenLoadCopiesASubtreeElsewhere) {
  ok({"set", "From/Inner", "Text", "t"});
  ok({"set", "--type", "binary", "From", "Blob", ""});
  ok({"set", "--type", "multi", "From/Inner", "Many", "a", "b"});
  ok({"set", "From", "", "nameless"});  // the registry's default value
  const std::string dumped = ok({"dump", "From"});
  runner_.writeFile("from.xml", dumped);

  ok({"load", runner_.file("from.xml"), "To/Here"});
  EXPECT_EQ(ok({"dump", "To/Here"}), dumped);
  EXPECT_EQ(ok({"get", "To/Here/Inner", "Many"}), "a\nb\n");
  EXPECT_EQ(ok({"ls", "To/Here"}), "Inner/\n\tstring\t9\nBlob\tbinary\t0\n");
  EXPECT_EQ(ok({"get", "To/Here", ""}), "nameless\n");
}

TEST_P(CommandsTest, ReadsOfAMissingItemAreNotFound) {
  ok({"set", "S", "K", "v"});
  EXPECT_EQ(run({"get", "S", "Missing"}).status, 1);
  EXPECT_EQ(run({"get", "Missing", "K"}).status, 1);
  EXPECT_EQ(run({"ls", "Missing"}).status, 1);
  EXPECT_EQ(run({"dump", "Missing"}).status, 1);
  const CliResult noFile = run({"load", runner_.file("absent.xml")});
  EXPECT_EQ(noFile.status, 1);
  EXPECT_NE(noFile.err.find("settingstore: "), std::string::npos);
}

TEST_P(CommandsTest, BadValuesAreUsageErrorsAndChangeNothing) {
  ok({"set", "S", "K", "kept"});
  EXPECT_EQ(run({"set", "--type", "int", "S", "K", "12x"}).status, 2);
  EXPECT_EQ(run({"set", "--type", "int", "S", "K", "4294967296"}).status, 2);
  EXPECT_EQ(run({"set", "--type", "binary", "S", "K", "abc"}).status, 2);
  EXPECT_EQ(run({"set", "--type", "binary", "S", "K", "zz"}).status, 2);
  EXPECT_EQ(run({"set", "--type", "multi", "S", "K", "a", "", "b"}).status, 2);
  EXPECT_EQ(run({"set", "--type", "float", "S", "K", "1"}).status, 2);
  EXPECT_EQ(run({"set", "S", "K", "two", "words"}).status, 2);
  EXPECT_EQ(run({"set", "S"}).status, 2);
  EXPECT_EQ(ok({"get", "S", "K"}), "kept\n");
}

TEST_P(CommandsTest, ADamagedDocumentLoadsNothing) {
  ok({"set", "S", "K", "kept"});
  runner_.writeFile("bad.xml", "<vel.node><section name=\"X\">");
  const CliResult result = run({"load", runner_.file("bad.xml")});
  EXPECT_EQ(result.status, 3);
  EXPECT_EQ(result.err.rfind("settingstore: ", 0), 0u) << result.err;
  EXPECT_EQ(ok({"ls"}), "S/\n");
}

// Documents the backends could not hold as they are: section names that
// split into a path (or into nothing, which once made the copy reopen the
// same section for ever), names equal but for case, and a
// value that cannot be read. Each is refused whole, before anything lands.
TEST_P(CommandsTest, LoadRefusesADocumentItCannotCopyWholeAndChangesNothing) {
  ok({"set", "S", "K", "kept"});
  const std::string before = ok({"dump"});
  // Sorted first, "Good" would be copied before the bad item if the document
  // were not checked whole.
  const std::string good =
      R"(<section name="Good"><key name="G" type="String" value="g" size="2"/></section>)";
  const struct {
    std::string items;
    std::string reported;
  } kRefused[] = {
      {R"(<section name="b:"/>)", "section name 'b:' at the top"},
      {R"(<section name="/"/>)", "section name '/' at the top"},
      {R"(<section name="\\"/>)", R"(section name '\\' at the top)"},
      {R"(<section name="a/b"/>)", "section name 'a/b' at the top"},
      {R"(<section name=""/>)", "section name '' at the top"},
      {R"(<section name="Z"><section name="Y"><section name="C:x\y"/></section></section>)",
       R"(section name 'C:x\y' in 'Z/Y')"},
      {R"(<section name="Z"/><section name="z"/>)", "sections 'Z' and 'z' at the top would be one"},
      {R"(<section name="Z"><key name="k" type="String" value="1" size="2"/><key name="K" type="String" value="2" size="2"/></section>)",
       "keys 'K' and 'k' in 'Z' would be one"},
      {R"(<section name="Z"><key name="NoSize" type="String" value="v"/></section>)",
       "key 'NoSize' in 'Z' cannot be read"},
  };
  for (const auto& refused : kRefused) {
    const std::string document = "<r>" + good + refused.items + "</r>";
    runner_.writeFile("doc.xml", document);
    const CliResult result = run({"load", runner_.file("doc.xml")});
    EXPECT_EQ(result.status, 3) << document;
    EXPECT_EQ(result.err.rfind("settingstore: " + refused.reported, 0), 0u) << result.err;
    EXPECT_NE(result.err.find("nothing was loaded"), std::string::npos) << result.err;
    EXPECT_EQ(ok({"dump"}), before) << document;
  }
  // Nor does a refused document leave the section it was to go into.
  EXPECT_EQ(run({"load", runner_.file("doc.xml"), "Target/Below"}).status, 3);
  EXPECT_EQ(ok({"dump"}), before);
}

// Names with separators are fine for keys, which are never split.
TEST_P(CommandsTest, LoadKeepsKeyNamesThatHoldSeparators) {
  runner_.writeFile(
      "doc.xml",
      R"(<r><section name="S"><key name="a/b:c\d" type="String" value="v" size="2"/></section></r>)");
  ok({"load", runner_.file("doc.xml")});
  EXPECT_EQ(ok({"get", "S", "a/b:c\\d"}), "v\n");
  EXPECT_EQ(ok({"ls", "-r"}), "S/\nS/a/b:c\\d\tstring\t2\n");
}

// A document may claim any size for an integer; its value is four bytes
// still, and copying it asks for no more.
TEST_P(CommandsTest, LoadTakesAnIntegerAsFourBytesWhateverSizeTheDocumentClaims) {
  runner_.writeFile("doc.xml", R"(<r><key name="W" type="Integer" value="-640" size="100000"/></r>)");
  ok({"load", runner_.file("doc.xml")});
  ASSERT_EQ(ok({"ls"}), "W\tint\t4\n");
  EXPECT_EQ(ok({"get", "--raw", "/", "W"}), std::string("\x80\xfd\xff\xff", 4));
}

std::string BackendName(const ::testing::TestParamInfo<Storage>& info) {
  if (info.param == &XmlStorage) return "Xml";
  if (info.param == &RegistryStorage) return "Registry";
  return "Shared";
}

INSTANTIATE_TEST_SUITE_P(Backends, CommandsTest,
                         ::testing::Values(&XmlStorage, &RegistryStorage, &SharedStorage), BackendName);

// A document nested far deeper than a copy that recursed per level could
// go on the tool's small stack. (The registry store is left out: it takes
// minutes over this many levels.)
class DeepLoadTest : public CommandsTest {
 protected:
  static constexpr int kDepth = 10000;
  static constexpr int kStackKib = 256;

  // kDepth sections "a" in a chain, the deepest holding `innermost`.
  static std::string Chain(const std::string& innermost) {
    std::string document = "<r>";
    for (int i = 0; i < kDepth; ++i) document += R"(<section name="a">)";
    document += innermost;
    for (int i = 0; i < kDepth; ++i) document += "</section>";
    return document + "</r>";
  }
  CliResult loadWithSmallStack(const std::string& document, const std::string& section) {
    runner_.writeFile("deep.xml", document);
    return runner_.run(
        GetParam()(runner_) + std::vector<std::string>{"load", runner_.file("deep.xml"), section}, kStackKib);
  }
};

TEST_P(DeepLoadTest, LoadsEveryLevel) {
  const CliResult loaded =
      loadWithSmallStack(Chain(R"(<key name="K" type="String" value="deep" size="5"/>)"), "Top");
  ASSERT_EQ(loaded.status, 0) << loaded.err;
  std::string deepest = "Top";
  for (int i = 0; i < kDepth; ++i) deepest += "/a";
  EXPECT_EQ(ok({"get", deepest, "K"}), "deep\n");
  EXPECT_EQ(ok({"ls", deepest}), "K\tstring\t5\n");

  // Removing the subtree walks it as deep, on the same small stack.
  const CliResult removed =
      runner_.run(GetParam()(runner_) + std::vector<std::string>{"rmsection", "-r", "Top"}, kStackKib);
  ASSERT_EQ(removed.status, 0) << removed.err;
  EXPECT_EQ(ok({"ls"}), "");
}

TEST_P(DeepLoadTest, RefusesABadNameAtTheBottom) {
  ok({"set", "S", "K", "kept"});
  const CliResult refused = loadWithSmallStack(Chain(R"(<section name="x/y"/>)"), "");
  EXPECT_EQ(refused.status, 3);
  EXPECT_EQ(refused.err.rfind("settingstore: section name 'x/y' in 'a/a/a/", 0), 0u)
      << refused.err.substr(0, 200);
  EXPECT_EQ(ok({"ls"}), "S/\n");
}

INSTANTIATE_TEST_SUITE_P(Backends, DeepLoadTest, ::testing::Values(&XmlStorage, &SharedStorage), BackendName);

}  // namespace
}  // namespace settingstore::test
