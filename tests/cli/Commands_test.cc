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
  ok({"set", "--type", "binary", "App/Window", "Blob", "00ff10A0"});
  ok({"set", "--type", "multi", "App/Window", "Names", "first", "second one"});

  EXPECT_EQ(ok({"get", "App/Window", "Title"}), "hello world\n");
  EXPECT_EQ(ok({"get", "App/Window", "Width"}), "-1024\n");
  EXPECT_EQ(ok({"get", "App/Window", "Mask"}), "2147483647\n");
  EXPECT_EQ(ok({"get", "App/Window", "Blob"}), "00ff10a0\n");
  EXPECT_EQ(ok({"get", "App/Window", "Names"}), "first\nsecond one\n");

  EXPECT_EQ(ok({"get", "--raw", "App/Window", "Title"}), std::string("hello world\0", 12));
  EXPECT_EQ(ok({"get", "--raw", "App/Window", "Blob"}), std::string("\x00\xff\x10\xa0", 4));
  EXPECT_EQ(ok({"get", "--raw", "App/Window", "Width"}), std::string("\x00\xfc\xff\xff", 4));
  EXPECT_EQ(ok({"get", "--raw", "App/Window", "Names"}), std::string("first\0second one\0\0", 18));
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

  const CliResult again = run({"rm", "S", "Gone"});
  EXPECT_EQ(again.status, 1);
  EXPECT_NE(again.err.find("settingstore: key 'Gone' not found"), std::string::npos) << again.err;
  EXPECT_EQ(run({"rm", "Nowhere", "Keep"}).status, 1);
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
  const std::string dumped = ok({"dump", "From"});
  runner_.writeFile("from.xml", dumped);

  ok({"load", runner_.file("from.xml"), "To/Here"});
  EXPECT_EQ(ok({"dump", "To/Here"}), dumped);
  EXPECT_EQ(ok({"get", "To/Here/Inner", "Many"}), "a\nb\n");
  EXPECT_EQ(ok({"ls", "To/Here"}), "Inner/\nBlob\tbinary\t0\n");
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

std::string BackendName(const ::testing::TestParamInfo<Storage>& info) {
  static const char* const kNames[] = {"Xml", "Registry", "Shared"};
  return kNames[info.index];
}

INSTANTIATE_TEST_SUITE_P(Backends, CommandsTest,
                         ::testing::Values(&XmlStorage, &RegistryStorage, &SharedStorage), BackendName);

}  // namespace
}  // namespace settingstore::test
