#include "xml/XmlParser.h"

#include <gtest/gtest.h>

#include <string>

#include "XmlTestSupport.h"

namespace {

using xmltest::NodePtr;
using xmltest::Parse;

std::string ParseError(const std::string& text) {
  try {
    Parse(text);
  } catch (const CVelXmlParseException& error) {
    return error.what();
  }
  return "no error";
}

TEST(XmlParserTest, EmptyOrMalformedTextRaises) {
  XmlParser parser;
  EXPECT_THROW(parser.LoadFromString(nullptr, 0), CVelXmlParseException);
  EXPECT_THROW(parser.LoadFromString("<a/>", 0), CVelXmlParseException);
  for (const char* text : {"   \n", "<a>", "<a></b>", "<a x='1' x='2'/>", "plain text", "<a/><b/>",
                           "<a b=c/>", "<a>&undefined;</a>", "\xEF\xBB\xBF", "<a>\x01</a>"}) {
    EXPECT_THROW(Parse(text), CVelXmlParseException) << text;
  }
}

TEST(XmlParserTest, OnlyTheGivenLengthIsRead) {
  const char text[] = "<a/>trailing garbage <<<";
  XmlParser parser;
  parser.LoadFromString(text, 4);
  NodePtr root(parser.DetachRoot());
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(root->getName(), "a");
  EXPECT_THROW(parser.LoadFromString(text, 3), CVelXmlParseException);
}

TEST(XmlParserTest, ErrorMessageTellsLineAndCause) {
  std::string message = ParseError("<a>\n  <b>\n</a>");
  EXPECT_NE(message.find("line 3"), std::string::npos) << message;
  EXPECT_NE(message.find("mismatched tag"), std::string::npos) << message;
  EXPECT_NE(ParseError("").find("empty"), std::string::npos);
}

TEST(XmlParserTest, DetachedRootBelongsToTheCallerAndOutlivesTheParser) {
  NodePtr root;
  {
    XmlParser parser;
    EXPECT_EQ(parser.DetachRoot(), nullptr);
    const std::string text = "<root><section name='a'/></root>";
    parser.LoadFromString(text.data(), text.size());
    root.reset(parser.DetachRoot());
    EXPECT_EQ(parser.DetachRoot(), nullptr);
  }
  ASSERT_NE(root, nullptr);
  EXPECT_STREQ(root->GetChildren()->get(0)->GetAttributeValue("name"), "a");
}

TEST(XmlParserTest, EachLoadReplacesTheDocumentAndAFailedLoadLeavesNone) {
  XmlParser parser;
  parser.LoadFromString("<first/>", 8);
  parser.LoadFromString("<second/>", 9);
  NodePtr second(parser.DetachRoot());
  EXPECT_STREQ(second->getName(), "second");

  parser.LoadFromString("<third/>", 8);
  EXPECT_THROW(parser.LoadFromString("<broken", 7), CVelXmlParseException);
  EXPECT_EQ(parser.DetachRoot(), nullptr);
}

TEST(XmlParserTest, OnlyElementsAndAttributesMakeTheTree) {
  NodePtr root = Parse(
      "<?xml version='1.0'?>\n<!-- comment -->\n<root a=\"1\">\n  text <?target data?>\n"
      "  <child b='&amp;&lt;&gt;&quot;&apos;'>more text<![CDATA[<not an element>]]></child>\n</root>\n");
  EXPECT_EQ(xmltest::Describe(*root),
            "\"root\" \"a\"=\"1\"\n"
            "  \"child\" \"b\"=\"&<>\\x22'\"\n");
}

TEST(XmlParserTest, AttributeValuesAreNormalisedAsXmlRequires) {
  NodePtr root = Parse("<a literal='x\ty\nz\r\nw' referenced='x&#9;y&#10;z&#13;w'/>");
  EXPECT_STREQ(root->GetAttributeValue("literal"), "x y z w");
  EXPECT_STREQ(root->GetAttributeValue("referenced"), "x\ty\nz\rw");
}

TEST(XmlParserTest, BytesAreTakenOneToOneWhateverTheDeclaredEncoding) {
  // UTF-8 text, and bytes that are no valid UTF-8, come back unchanged.
  NodePtr root = Parse("<?xml version='1.0' encoding='UTF-8'?><a v='caf\xC3\xA9' w='\xFF\x80'/>");
  EXPECT_STREQ(root->GetAttributeValue("v"), "caf\xC3\xA9");
  EXPECT_STREQ(root->GetAttributeValue("w"), "\xFF\x80");
  // A reference to a character above U+00FF keeps its UTF-8 form.
  EXPECT_STREQ(Parse("<a v='&#x20AC;&#xE000;&#233;'/>")->GetAttributeValue("v"),
               "\xE2\x82\xAC\xEE\x80\x80\xE9");
}

TEST(XmlParserTest, LeadingUtf8ByteOrderMarkIsSkipped) {
  NodePtr root = Parse("\xEF\xBB\xBF<?xml version='1.0' encoding='UTF-8'?><a/>");
  EXPECT_STREQ(root->getName(), "a");
}

TEST(XmlParserTest, ReservedLookingNamesThatAreNoEncodingStayAsWritten) {
  NodePtr root =
      Parse("<vel.node vel.attrX-61='1' vel.attr1-6='2' vel.attr1-zz='3' vel.attr1-00='4' other='5'/>");
  EXPECT_EQ(root->getName(), nullptr);
  EXPECT_EQ(
      xmltest::Describe(*root),
      "<null> \"vel.attrX-61\"=\"1\" \"vel.attr1-6\"=\"2\" \"vel.attr1-zz\"=\"3\" \"vel.attr1-00\"=\"4\" "
      "\"other\"=\"5\"\n");
}

}  // namespace
