#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>

#include "XmlTestSupport.h"
#include "support/TempDirectory.h"
#include "xml/VelXmlSaver.h"

namespace {

namespace fs = std::filesystem;
using xmltest::Describe;
using xmltest::NodePtr;
using xmltest::Parse;

// Hand-written files: only elements and attributes make the tree; bytes are
// taken one to one, references above U+00FF keep their UTF-8 form.
TEST(XmlParser, HandWrittenDocumentsGiveTheirTrees) {
  const std::pair<std::string, std::string> kCases[] = {
      {"<?xml version='1.0'?>\n<!-- c -->\n<r a=\"1\">\n text <?t d?>\n"
       "<c b='&amp;&lt;&gt;&quot;&apos;'>x<![CDATA[<no>]]></c>\n</r>\n",
       "\"r\" \"a\"=\"1\"\n  \"c\" \"b\"=\"&<>\\x22'\"\n"},
      {"<a l='x\ty\nz\r\nw' r='x&#9;y&#10;z&#13;w'/>", "\"a\" \"l\"=\"x y z w\" \"r\"=\"x\\x09y\\x0az\\x0dw\"\n"},
      {"<?xml version='1.0' encoding='UTF-8'?><a v='caf\xC3\xA9' w='\xFF\x80'/>",
       "\"a\" \"v\"=\"caf\\xc3\\xa9\" \"w\"=\"\\xff\\x80\"\n"},
      {"<a v='&#x20AC;&#xE000;&#233;&#xE001;'/>", "\"a\" \"v\"=\"\\xe2\\x82\\xac\\xee\\x80\\x80\\xe9\\x01\"\n"},
      {"\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?><a/>", "\"a\"\n"},
      {"<vel.node vel.attrX-61='1' vel.attr1-6='2' vel.attr1-zz='3' vel.attr1-00='4' vel.attr-61='5'/>",
       "<null> \"vel.attrX-61\"=\"1\" \"vel.attr1-6\"=\"2\" \"vel.attr1-zz\"=\"3\" \"vel.attr1-00\"=\"4\" "
       "\"vel.attr-61\"=\"5\"\n"},
      {"<vel.node vel.name='a b' vel.attr7-4142='1' vel.attr7-4A62='2'/>", "\"a b\" \"AB\"=\"1\" \"Jb\"=\"2\"\n"},
  };
  for (const auto& [text, tree] : kCases) EXPECT_EQ(Describe(*Parse(text)), tree) << text;
}

// What a caller sees of a malformed document: the exception, with the line.
TEST(XmlParser, MalformedDocumentsRaiseWithTheirLine) {
  const std::pair<std::string, const char*> kCases[] = {
      {"", "the document is empty"}, {"   \n", "line 2"},       {"<a>", "line 1"},
      {"<a>\n  <b>\n</a>", "line 3"}, {"<a x='1'\n x='2'/>", "line 2"}, {"plain text", "line 1"},
      {"<a/>\n<b/>", "line 2"},     {"<a b=c/>", "line 1"},     {"<a>\n&undefined;</a>", "line 2"},
      {"\xEF\xBB\xBF", "line 1"},   {"<a>\x01</a>", "line 1"},  {std::string("<a>\0</a>", 8), "line 1"},
  };
  for (const auto& [text, where] : kCases) {
    try {
      Parse(text);
      ADD_FAILURE() << "no error for " << text;
    } catch (const CVelXmlParseException& error) {
      EXPECT_NE(std::string(error.what()).find(where), std::string::npos) << error.what();
    }
  }
  CVelXmlParser parser;
  EXPECT_THROW(parser.loadFromString(nullptr, 0), CVelXmlParseException);
  parser.loadFromString("<a/>trailing <<<", 4);  // only the given length is read
  NodePtr first(parser.dettachRoot());
  EXPECT_STREQ(first->getName(), "a");
  EXPECT_EQ(parser.dettachRoot(), nullptr);
  parser.loadFromString("<b/>", 4);
  EXPECT_THROW(parser.loadFromString("<broken", 7), CVelXmlParseException);
  EXPECT_EQ(parser.dettachRoot(), nullptr);  // a failed load leaves no document
}

// The file format: declaration, reserved element for the unnamed root, indent per level.
TEST(XmlSaver, WritesTheKnownLayoutAndRefusesWhatItCannotWrite) {
  NodePtr root(CVelXmlNode::createNode());
  CVelXmlNode* section = CVelXmlNode::createNode();
  section->setName("section");
  section->addAttribute("name", "a\nb");
  section->getChilds()->add(CVelXmlNode::createNode());
  section->getChilds()->get(0)->setName("key");
  root->getChilds()->add(section);
  CVelXmlSaver saver;
  saver.SetOutputMode(true, "\t ");
  EXPECT_EQ(saver.SaveToString(root.get()),
            "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n<vel.node>\n\t <section name=\"a&#10;b\">\n"
            "\t \t <key/>\n\t </section>\n</vel.node>\n");
  EXPECT_THROW(saver.SetOutputMode(true, "<!--"), std::invalid_argument);
  EXPECT_THROW(saver.SaveToString(nullptr), CVelXmlSaverException);

  settingstore::test::TempDirectory dir;
  const std::string file = dir.File(".storage"), missing = dir.File("missing/.storage"), taken = dir.File("taken");
  std::ofstream(file) << "an older and longer document ..................................................";
  fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  fs::create_directories(dir.path() / "taken/inner");
  const std::pair<const CVelXmlNode*, const char*> kRefused[] = {
      {nullptr, file.c_str()}, {root.get(), nullptr}, {root.get(), ""},
      {root.get(), missing.c_str()}, {root.get(), taken.c_str()}};
  for (const auto& [tree, path] : kRefused) EXPECT_THROW(saver.Save(tree, path), CVelXmlSaverException);
  EXPECT_TRUE(fs::is_directory(dir.path() / "taken/inner"));
  saver.Save(root.get(), file.c_str());
  EXPECT_EQ(xmltest::ReadFile(file), saver.SaveToString(root.get()));
  EXPECT_EQ(fs::status(file).permissions(), fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);  // no temporary file left
}

TEST(XmlNode, AttributesAndChildrenAsTheBackendsUseThem) {
  NodePtr node(CVelXmlNode::createNode());
  node->addAttribute("name", "Width");
  node->addAttribute(nullptr, nullptr);  // stored as empty text
  node->addAttribute("name", "second");
  EXPECT_STREQ(node->getAttributeValue("name"), "Width");  // the first of that name
  EXPECT_EQ(node->getAttributeValue("NAME"), nullptr);
  EXPECT_STREQ(node->getAttributeValue(""), "");
  EXPECT_EQ(node->getAttributeIndex("name", 1), 2u);
  EXPECT_EQ(node->getAttributeIndex("name", 3), CVelXmlNode::kNoAttribute);
  EXPECT_TRUE(node->setAttributeValue(2, "new"));
  EXPECT_FALSE(node->setAttributeValue(3, "x"));
  EXPECT_EQ(Describe(*node), "<null> \"name\"=\"Width\" \"\"=\"\" \"name\"=\"new\"\n");

  for (const char* name : {"a", "b", "c"}) {
    node->getChilds()->add(CVelXmlNode::createNode());
    node->getChilds()->get(node->getChilds()->size() - 1)->setName(name);
  }
  node->getChilds()->get(1)->getChilds()->add(CVelXmlNode::createNode());
  node->getChilds()->add(nullptr);
  EXPECT_TRUE(node->getChilds()->del(1));  // with its subtree
  EXPECT_FALSE(node->getChilds()->del(2));
  EXPECT_FALSE(node->getChilds()->del(-1));
  EXPECT_EQ(node->getChilds()->get(2), nullptr);
  EXPECT_EQ(Describe(*node).substr(Describe(*node).find('\n') + 1), "  \"a\"\n  \"c\"\n");
}

// A pinned node outlives its removal, alone or inside a removed or freed
// subtree, until its last unpin; ASan reports a read after free or a leak.
TEST(XmlNode, PinnedNodesOutliveTheirRemoval) {
  NodePtr parent(CVelXmlNode::createNode());
  CVelXmlNodes* children = parent->getChilds();
  children->add(CVelXmlNode::createNode());
  children->add(CVelXmlNode::createNode());
  CVelXmlNode* pinned = children->get(0);
  pinned->setName("pinned");
  pinned->getChilds()->add(CVelXmlNode::createNode());
  children->get(1)->getChilds()->add(CVelXmlNode::createNode());
  CVelXmlNode* deep = children->get(1)->getChilds()->get(0);
  deep->setName("deep");
  pinned->pin();
  pinned->pin();
  deep->pin();
  EXPECT_FALSE(pinned->isRemoved());
  ASSERT_TRUE(children->del(0));
  EXPECT_TRUE(pinned->isRemoved());
  pinned->unpin();
  EXPECT_EQ(Describe(*pinned), "\"pinned\"\n  <null>\n");
  pinned->unpin();  // frees it with its child
  parent.reset();   // frees the holder, but not its pinned child
  EXPECT_TRUE(deep->isRemoved());
  EXPECT_STREQ(deep->getName(), "deep");
  deep->unpin();
}

}  // namespace
