#include "xml/XmlSaver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "XmlTestSupport.h"

namespace {

namespace fs = std::filesystem;
using xmltest::NodePtr;

NodePtr SmallTree(const char* keyValue) {
  NodePtr root(XmlNode::CreateNode());
  XmlNode* section = XmlNode::CreateNode();
  section->SetName("section");
  section->AddAttribute("name", "a");
  XmlNode* key = XmlNode::CreateNode();
  key->SetName("key");
  key->AddAttribute("name", "x");
  key->AddAttribute("value", keyValue);
  section->GetChildren()->add(key);
  root->GetChildren()->add(section);
  return root;
}

TEST(XmlSaverTest, FormattedOutputIndentsEachLevelByTheGivenText) {
  XmlSaver saver;
  saver.SetOutputMode(true, "  ");
  EXPECT_EQ(saver.SaveToString(SmallTree("1").get()),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
            "<vel.node>\n"
            "  <section name=\"a\">\n"
            "    <key name=\"x\" value=\"1\"/>\n"
            "  </section>\n"
            "</vel.node>\n");
  saver.SetOutputMode(true, "\t");
  EXPECT_NE(saver.SaveToString(SmallTree("1").get()).find("\n\t\t<key"), std::string::npos);
}

TEST(XmlSaverTest, UnformattedOutputIsOneLine) {
  XmlSaver saver;
  saver.SetOutputMode(false, "  ");
  std::string text = saver.SaveToString(SmallTree("line\nbreak").get());
  EXPECT_EQ(text.find('\n'), std::string::npos) << text;
  EXPECT_NE(text.find("value=\"line&#10;break\""), std::string::npos) << text;
}

TEST(XmlSaverTest, RejectsAnIndentThatIsNoWhitespace) {
  XmlSaver saver;
  EXPECT_THROW(saver.SetOutputMode(true, "<!--"), std::invalid_argument);
  EXPECT_NO_THROW(saver.SetOutputMode(true, nullptr));
}

class XmlSaverFileTest : public xmltest::TempDirTest {};

TEST_F(XmlSaverFileTest, SaveWithoutRootOrPathRaises) {
  XmlSaver saver;
  NodePtr tree = SmallTree("1");
  EXPECT_THROW(saver.Save(nullptr, PathOf("out").c_str()), XmlSaverException);
  EXPECT_THROW(saver.Save(tree.get(), nullptr), XmlSaverException);
  EXPECT_THROW(saver.Save(tree.get(), ""), XmlSaverException);
  EXPECT_THROW(saver.SaveToString(nullptr), XmlSaverException);
  EXPECT_TRUE(FilesInDir().empty());
}

TEST_F(XmlSaverFileTest, SaveIntoAMissingDirectoryRaisesAndLeavesNothing) {
  const std::string path = PathOf("missing/.storage");
  XmlSaver saver;
  try {
    saver.Save(SmallTree("1").get(), path.c_str());
    FAIL() << "no exception";
  } catch (const XmlSaverException& error) {
    EXPECT_NE(std::string(error.what()).find(path), std::string::npos) << error.what();
  }
  EXPECT_TRUE(FilesInDir().empty());
}

TEST_F(XmlSaverFileTest, SaveReplacesAnExistingFileAndLeavesNoTemporaryFile) {
  const std::string path = PathOf(".storage");
  std::ofstream(path)
      << "old content that is longer than the new document will ever be......................";
  fs::permissions(path, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

  XmlSaver saver;
  saver.SetOutputMode(true, "  ");
  saver.Save(SmallTree("new").get(), path.c_str());

  EXPECT_EQ(xmltest::ReadFile(path), saver.SaveToString(SmallTree("new").get()));
  EXPECT_EQ(FilesInDir(), std::vector<std::string>{".storage"});
  EXPECT_EQ(fs::status(path).permissions(),
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
}

TEST_F(XmlSaverFileTest, SaveOverADirectoryRaisesAndLeavesItAlone) {
  const std::string path = PathOf("taken");
  fs::create_directory(path);
  fs::create_directory(path + "/inner");
  XmlSaver saver;
  EXPECT_THROW(saver.Save(SmallTree("1").get(), path.c_str()), XmlSaverException);
  EXPECT_EQ(FilesInDir(), std::vector<std::string>{"taken"});
  EXPECT_TRUE(fs::is_directory(path + "/inner"));
}

}  // namespace
