#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>

#include "base/PathUtils.h"
#include "support/TempDirectory.h"
#include "xml/XmlParser.h"
#include "xml/XmlSaver.h"

namespace {

namespace fs = std::filesystem;
using NodePtr = std::unique_ptr<XmlNode>;

NodePtr Parse(const std::string& text) {
  XmlParser parser;
  parser.LoadFromString(text.data(), text.size());
  return NodePtr(parser.DetachRoot());
}

// Bytes made visible, so that a failed comparison shows what differs.
std::string Visible(const char* text) {
  if (!text) return "<null>";
  std::string out = "\"";
  for (auto byte : std::string_view(text)) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", static_cast<unsigned char>(byte));
    out += byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '"' ? std::string(1, byte) : hex;
  }
  return out + "\"";
}

// A whole tree, one element per line indented by its depth.
std::string Describe(const XmlNode& node, size_t depth = 0) {
  std::string out = std::string(depth * 2, ' ') + Visible(node.Name());
  for (unsigned i = 0; i < node.GetAttributeCount(); ++i) {
    out += " " + Visible(node.GetAttributeNameAt(i)) + "=" + Visible(node.GetAttributeValueAt(i));
  }
  out += "\n";
  for (int i = 0; i < node.GetChildren()->Size(); ++i) out += Describe(*node.GetChildren()->At(i), depth + 1);
  return out;
}

// Trees whose names, attribute names and values hold every byte that needs
// escaping or encoding: markup, whitespace, control and high bytes, the
// reserved prefix and repeated attribute names.
class RandomTrees {
 public:
  NodePtr Tree(int depth) {
    NodePtr node(XmlNode::CreateNode());
    if (Below(8) != 0) node->SetName(Text().c_str());
    for (int i = Below(6); i > 0; --i) {
      bool repeat = Below(4) == 0 && node->GetAttributeCount() > 0;
      node->AddAttribute(repeat ? node->GetAttributeNameAt(0) : Text().c_str(), Text().c_str());
    }
    for (int i = depth > 0 ? Below(4) : 0; i > 0; --i) node->GetChildren()->Add(Tree(depth - 1).release());
    return node;
  }

 private:
  // A name the writer must encode, or bytes of any value but NUL, markup and whitespace more often.
  std::string Text() {
    static const char* const kNames[] = {"key", "vel.node", "vel.name", "vel.attr0-61", "vel.", "9a"};
    static const std::string kMarkup = "&<>\"'\t\n\r =;#";
    if (Below(3) == 0) return kNames[Below(std::size(kNames))];
    std::string text;
    for (int i = Below(12); i > 0; --i)
      text += Below(4) == 0 ? kMarkup[Below(kMarkup.size())] : char(1 + Below(255));
    return text;
  }
  int Below(size_t limit) { return std::uniform_int_distribution<int>(0, int(limit) - 1)(random_); }

  std::mt19937 random_{20240601};
};

// The parser takes the bytes one to one whichever encoding the document
// declares: the written one, or UTF-8 after a byte order mark.
TEST(Xml, GeneratedTreesSurviveBothFormsAndBothEncodings) {
  settingstore::test::TempDirectory dir;
  XmlSaver saver;
  RandomTrees trees;
  for (int round = 0; round < 300; ++round) {
    NodePtr tree = trees.Tree(3);
    const std::string expected = Describe(*tree);
    for (bool formatted : {false, true}) {
      saver.SetOutputMode(formatted, "  ");
      std::string text = saver.SaveToString(tree.get());
      ASSERT_EQ(Describe(*Parse(text)), expected) << "round " << round << ", document:\n" << text;
      text.replace(0, text.find("?>"), "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"");
      ASSERT_EQ(Describe(*Parse(text)), expected) << "round " << round << ", document:\n" << text;
    }
    if (round % 30 == 0) {  // files are replaced whole
      saver.Save(tree.get(), dir.File(".storage").c_str());
      ASSERT_EQ(storage::utils::ReadWholeFile(dir.File(".storage")), saver.SaveToString(tree.get()));
    }
  }
}

// Freeing, writing and reading loop instead of recursing: a chain this deep
// would overflow the stack otherwise.
TEST(Xml, VeryDeepTreesSurviveWithoutRecursion) {
  constexpr int kDepth = 200000;
  NodePtr root(XmlNode::CreateNode());
  XmlNode* tip = root.get();
  for (int level = 0; level < kDepth; ++level, tip = tip->GetChildren()->At(0)) {
    tip->GetChildren()->Add(XmlNode::CreateNode());
  }
  tip->SetName("bottom");
  XmlSaver saver;
  saver.SetOutputMode(true, "  ");
  std::string text = saver.SaveToString(root.get());
  EXPECT_LT(text.size(), 300u * kDepth);  // indentation is capped
  const XmlNode* node = (root = Parse(text)).get();
  int depth = 0;
  for (; node->GetChildren()->Size() == 1; ++depth) node = node->GetChildren()->At(0);
  EXPECT_EQ(depth, kDepth);
  EXPECT_STREQ(node->Name(), "bottom");
}

// Hand-written files: only elements and attributes make the tree; bytes are
// taken one to one, references above U+00FF keep their UTF-8 form.
TEST(Xml, HandWrittenDocumentsGiveTheirTrees) {
  const std::pair<std::string, std::string> kCases[] = {
      {"<?xml version='1.0'?>\n<!-- c -->\n<r a=\"1\">\n text <?t d?>\n"
       "<c b='&amp;&lt;&gt;&quot;&apos;'>x<![CDATA[<no>]]></c>\n</r>\n",
       "\"r\" \"a\"=\"1\"\n  \"c\" \"b\"=\"&<>\\x22'\"\n"},
      {"<a l='x\ty\nz\r\nw' r='x&#9;y&#10;z&#13;w'/>",
       "\"a\" \"l\"=\"x y z w\" \"r\"=\"x\\x09y\\x0az\\x0dw\"\n"},
      {"<a v='&#x20AC;&#xE000;&#233;&#xE001;'/>",
       "\"a\" \"v\"=\"\\xe2\\x82\\xac\\xee\\x80\\x80\\xe9\\x01\"\n"},
      {"<vel.node vel.attrX-61='1' vel.attr1-6='2' vel.attr1-zz='3' vel.attr1-00='4' vel.attr-61='5'/>",
       "<null> \"vel.attrX-61\"=\"1\" \"vel.attr1-6\"=\"2\" \"vel.attr1-zz\"=\"3\" \"vel.attr1-00\"=\"4\" "
       "\"vel.attr-61\"=\"5\"\n"},
      {"<vel.node vel.name='a b' vel.attr7-4142='1' vel.attr7-4A62='2'/>",
       "\"a b\" \"AB\"=\"1\" \"Jb\"=\"2\"\n"},
      {"<r name='Width' vel.attr2-6e616d65='second'/>", "\"r\" \"name\"=\"Width\" \"name\"=\"second\"\n"},
  };
  for (const auto& [text, tree] : kCases) EXPECT_EQ(Describe(*Parse(text)), tree) << text;
  // An encoded name may repeat a plain one: the first of them is the one found.
  EXPECT_STREQ(Parse("<r name='Width' vel.attr2-6e616d65='second'/>")->GetAttributeValue("name"), "Width");
}

// What a caller sees of a malformed document: the exception, naming the line.
TEST(Xml, MalformedDocumentsRaiseWithTheirLine) {
  const std::pair<std::string, const char*> kCases[] = {
      // clang-format off
      {"", "the document is empty"}, {"   \n", "line 2"},  {"<a>", "line 1"},  {"<a>\n  <b>\n</a>", "line 3"},
      {"<a x='1'\n x='2'/>", "line 2"}, {"plain text", "line 1"}, {"<a/>\n<b/>", "line 2"}, {"<a b=c/>", "line 1"},
      {"<a>\n&undefined;</a>", "line 2"}, {"\xEF\xBB\xBF", "line 1"}, {"<a>\x01</a>", "line 1"},
      {std::string("<a>\0</a>", 8), "line 1"},
      // clang-format on
  };
  for (const auto& [text, where] : kCases) {
    EXPECT_THAT([&text = text] { Parse(text); },
                testing::ThrowsMessage<CVelXmlParseException>(testing::HasSubstr(where)))
        << text;
  }
  XmlParser parser;
  parser.LoadFromString("<a/>trailing <<<", 4);  // only the given length is read
  EXPECT_THROW(parser.LoadFromString("<broken", 7), CVelXmlParseException);
  EXPECT_EQ(parser.DetachRoot(), nullptr);  // a failed load leaves no document
}

// A document is declared UTF-8 when all its values are well-formed UTF-8 that
// XML allows, ISO-8859-1 otherwise; both read back to the same bytes.
TEST(Xml, DeclaredEncodingFollowsTheText) {
  const std::pair<std::string, const char*> kCases[] = {
      {"Caf\xc3\xa9", "UTF-8"},       {"\xf0\x9f\x98\x80 \x01\x1f", "UTF-8"},
      {"Caf\xe9", "ISO-8859-1"},      {"\xc0\xaf", "ISO-8859-1"},  // overlong
      {"\xed\xa0\x80", "ISO-8859-1"}, {"\xf4\x90\x80\x80", "ISO-8859-1"},
      {"\xef\xbf\xbe", "ISO-8859-1"}, {"\xc3", "ISO-8859-1"},
  };
  for (const auto& [value, encoding] : kCases) {
    NodePtr root = Parse("<r/>");
    root->AddAttribute("value", value.c_str());
    const std::string text = XmlSaver().SaveToString(root.get());
    EXPECT_TRUE(text.starts_with(std::string("<?xml version=\"1.0\" encoding=\"") + encoding + "\"?>"))
        << text;
    EXPECT_EQ(Visible(Parse(text)->GetAttributeValue("value")), Visible(value.c_str()));
  }
}

// The file format: declaration, reserved element for the unnamed root, indent per level.
TEST(Xml, SaverWritesTheKnownLayoutAndRefusesWhatItCannotWrite) {
  NodePtr root = Parse("<vel.node><section name='a&#10;b'><key/></section></vel.node>");
  XmlSaver saver;
  saver.SetOutputMode(true, "\t ");
  EXPECT_EQ(saver.SaveToString(root.get()),
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<vel.node>\n\t <section name=\"a&#10;b\">\n"
            "\t \t <key/>\n\t </section>\n</vel.node>\n");
  EXPECT_THROW(saver.SetOutputMode(true, "<!--"), std::invalid_argument);
  EXPECT_THROW(saver.SaveToString(nullptr), XmlSaverException);

  settingstore::test::TempDirectory dir;
  const std::string file = dir.File(".storage"), missing = dir.File("no/.storage"), taken = dir.File("taken");
  std::ofstream(file) << "an older and longer document ..................................................";
  const fs::perms kMode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(file, kMode);
  fs::create_directories(dir.path() / "taken/inner");
  const std::pair<const XmlNode*, const char*> kRefused[] = {{nullptr, file.c_str()},
                                                                 {root.get(), nullptr},
                                                                 {root.get(), ""},
                                                                 {root.get(), missing.c_str()},
                                                                 {root.get(), taken.c_str()}};
  for (const auto& [tree, path] : kRefused) EXPECT_THROW(saver.Save(tree, path), XmlSaverException);
  EXPECT_TRUE(fs::is_directory(dir.path() / "taken/inner"));
  saver.Save(root.get(), file.c_str());
  EXPECT_EQ(storage::utils::ReadWholeFile(file), saver.SaveToString(root.get()));
#ifndef _WIN32  // Windows keeps no group or other bits
  EXPECT_EQ(fs::status(file).permissions(), kMode);
#endif
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);  // no temporary file left
}

// A pinned node outlives its removal, alone or inside a removed or freed
// subtree, until its last unpin; ASan reports a read after free or a leak.
TEST(Xml, PinnedNodesOutliveTheirRemoval) {
  NodePtr parent = Parse("<r><pinned><child/></pinned><holder><deep/></holder></r>");
  XmlNode* pinned = parent->GetChildren()->At(0);
  XmlNode* deep = parent->GetChildren()->At(1)->GetChildren()->At(0);
  pinned->Pin();
  pinned->Pin();
  deep->Pin();
  EXPECT_FALSE(pinned->IsRemoved());
  ASSERT_TRUE(parent->GetChildren()->Delete(0));
  EXPECT_TRUE(pinned->IsRemoved());
  pinned->Unpin();
  EXPECT_EQ(Describe(*pinned), "\"pinned\"\n  \"child\"\n");
  pinned->Unpin();  // frees it with its child
  parent.reset();   // frees the holder, but not its pinned child
  EXPECT_TRUE(deep->IsRemoved());
  EXPECT_STREQ(deep->Name(), "deep");
  deep->Unpin();
}

// The index of a list follows children renamed in place: a renamed child is
// found by its new key only, ahead of a later sibling with that key.
TEST(Xml, ChildrenAreFoundByTheirCurrentNames) {
  NodePtr root = Parse("<r><key name=\"a\"/><key name=\"b\"/><key name=\"B\"/><other name=\"b\"/></r>");
  XmlNodes& children = *root->GetChildren();
  EXPECT_EQ(children.Find("key", "B"), children.At(1));
  children.At(0)->SetAttributeValue(0, "b");
  EXPECT_EQ(children.Find("key", "a"), nullptr);
  EXPECT_EQ(children.Find("key", "b"), children.At(0));
  children.At(0)->SetName("other");
  EXPECT_EQ(children.Find("key", "b"), children.At(1));
  EXPECT_EQ(children.Find("other", "B"), children.At(0));
  ASSERT_TRUE(children.Delete(1));
  EXPECT_EQ(children.Find("key", "b"), children.At(1));
}

}  // namespace
