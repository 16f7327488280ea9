// Sections of the XML backend over documents parsed from text.
#include "xmlfile/XmlStorage.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "XmlSectionTestSupport.h"
#include "storage/storage.h"

namespace {

using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;
using xmlsections::Names;
using xmlsections::Raised;

class XMLStorageTest : public xmlsections::XmlTreeTest {
 protected:
  void SetUp() override { Load("<r/>"); }
};

TEST_F(XMLStorageTest, CreateSectionMakesEachLevelOnceAndLookupsIgnoreCase) {
  Ref<IStorageSection> created(root()->CreateSection("a\\b"));
  EXPECT_EQ(Body(), "<r><section name=\"a\"><section name=\"b\"/></section></r>");

  Ref<IStorageSection> again(root()->CreateSection("a/b"));
  EXPECT_EQ(Body(), "<r><section name=\"a\"><section name=\"b\"/></section></r>");
  EXPECT_NE(again.get(), created.get());
  EXPECT_EQ(ElementOf(again.get()), ElementOf(created.get()));

  Ref<IStorageSection> opened(root()->OpenSection("A\\B"));
  EXPECT_EQ(ElementOf(opened.get()), ElementOf(created.get()));
  Ref<IStorageSection> stepwise(Ref<IStorageSection>(root()->OpenSection("A"))->OpenSection("b"));
  EXPECT_EQ(ElementOf(stepwise.get()), ElementOf(created.get()));
}

TEST_F(XMLStorageTest, NamesKeepTheirFirstSpellingAndCompareOnlyAsciiCase) {
  Ref<IStorageKey> first(root()->CreateKey("Width"));
  Ref<IStorageKey> second(root()->CreateKey("WIDTH"));
  Ref<IStorageSection> section(root()->CreateSection("Tools"));
  Ref<IStorageSection> sameSection(root()->CreateSection("tOOLS"));
  EXPECT_EQ(Body(), "<r><key name=\"Width\"/><section name=\"Tools\"/></r>");

  const int32_t width = 640;
  second->Write(storage::TYPE_INTEGER, &width, sizeof width);
  int32_t read = 0;
  Ref<IStorageKey>(root()->OpenKey("wIdTh"))->Read(&read, sizeof read);
  EXPECT_EQ(read, 640);

  // Only ASCII letters fold: Latin-1 A-umlaut and a-umlaut are two names.
  Ref<IStorageKey> upper(root()->CreateKey("\xC4"));
  Ref<IStorageKey> lower(root()->CreateKey("\xE4"));
  EXPECT_EQ(Names(root()->EnumKeys()), (std::vector<std::string>{"Width", "\xC4", "\xE4"}));
}

TEST_F(XMLStorageTest, OpenAndCreateRefuseMissingNamesAndWrongKinds) {
  Load("<r><section name=\"s\"/><key name=\"k\"/></r>");
  const std::string before = Body();
  EXPECT_EQ(Raised([&] { root()->OpenKey("s"); }), "OpenException -6");
  EXPECT_EQ(Raised([&] { root()->OpenSection("k"); }), "OpenException -6");
  EXPECT_EQ(Raised([&] { root()->OpenSection("s\\missing"); }), "OpenException -6");
  EXPECT_EQ(Raised([&] { root()->OpenKey(nullptr); }), "OpenException -6");
  EXPECT_EQ(Raised([&] { root()->OpenKey(""); }), "OpenException -6");
  EXPECT_EQ(Raised([&] { root()->OpenSection(nullptr); }), "OpenException -6");
  EXPECT_EQ(Raised([&] { root()->OpenSection(""); }), "OpenException -6");
  EXPECT_EQ(Raised([&] { root()->CreateKey(nullptr); }), "CreateException -6");
  EXPECT_EQ(Raised([&] { root()->CreateSection(nullptr); }), "CreateException -6");
  EXPECT_EQ(Raised([&] { root()->CreateSection(""); }), "CreateException -6");
  EXPECT_EQ(Body(), before);
}

TEST_F(XMLStorageTest, PathOfSeparatorsOnlyStandsForTheSectionItself) {
  Ref<IStorageSection> opened(root()->OpenSection("\\/\\"));
  Ref<IStorageSection> created(root()->CreateSection("/"));
  EXPECT_NE(opened.get(), root());
  EXPECT_EQ(ElementOf(opened.get()), tree_.get());
  EXPECT_EQ(ElementOf(created.get()), tree_.get());
  EXPECT_EQ(Body(), "<r/>");
  EXPECT_EQ(Raised([&] { root()->DeleteSection("\\/"); }), "DeleteException -5");
}

TEST_F(XMLStorageTest, NewChildrenFollowExistingOnesAndOtherElementsAreIgnored) {
  Load("<r><item name=\"a\"/><section name=\"s\"/><key name=\"k\"/></r>");
  EXPECT_EQ(Raised([&] { root()->OpenSection("item"); }), "OpenException -6");
  EXPECT_EQ(Raised([&] { root()->OpenSection("a"); }), "OpenException -6");
  Ref<IStorageSection> section(root()->CreateSection("a"));
  Ref<IStorageKey> key(root()->CreateKey("s"));
  EXPECT_EQ(Body(),
            "<r><item name=\"a\"/><section name=\"s\"/><key name=\"k\"/>"
            "<section name=\"a\"/><key name=\"s\"/></r>");
  EXPECT_TRUE(root()->DeleteSection("a"));
  EXPECT_EQ(Raised([&] { root()->DeleteSection("a"); }), "DeleteException -6");
  EXPECT_EQ(Body(), "<r><item name=\"a\"/><section name=\"s\"/><key name=\"k\"/><key name=\"s\"/></r>");
}

TEST_F(XMLStorageTest, DeleteSectionWalksThePathAndReportsWhereItStopped) {
  Load(
      "<r><section name=\"a\"><section name=\"b\"><key name=\"k\"/></section>"
      "<section name=\"c\"/></section></r>");
  const std::string before = Body();
  EXPECT_EQ(Raised([&] { root()->DeleteSection("x\\b"); }), "DeleteException -2");
  EXPECT_EQ(Raised([&] { root()->DeleteSection("a\\x"); }), "DeleteException -6");
  EXPECT_EQ(Raised([&] { root()->DeleteSection("a\\b"); }), "NotEmptyException -6");
  EXPECT_EQ(Raised([&] { root()->DeleteSection("a\\b\\k"); }), "DeleteException -6");
  EXPECT_EQ(Raised([&] { root()->DeleteSection(nullptr); }), "DeleteException -5");
  EXPECT_EQ(Raised([&] { root()->DeleteSection(""); }), "DeleteException -5");
  EXPECT_EQ(Body(), before);

  EXPECT_TRUE(root()->DeleteSection("A/C"));
  EXPECT_EQ(Body(), "<r><section name=\"a\"><section name=\"b\"><key name=\"k\"/></section></section></r>");
}

TEST_F(XMLStorageTest, DeleteKeyRemovesTheKeyWithItsValue) {
  Load("<r><section name=\"k\"/><key name=\"k\"/><key name=\"m\"/></r>");
  {
    Ref<IStorageKey> multi(root()->OpenKey("m"));
    const char strings[] = "a\0bc\0";
    multi->Write(storage::TYPE_MULTI_STRING, strings, sizeof strings);
  }
  EXPECT_EQ(Raised([&] { root()->DeleteKey(nullptr); }), "DeleteException -5");
  EXPECT_EQ(Raised([&] { root()->DeleteKey(""); }), "DeleteException -2");
  EXPECT_EQ(Raised([&] { root()->DeleteKey("missing"); }), "DeleteException -2");

  EXPECT_TRUE(root()->DeleteKey("M"));
  EXPECT_TRUE(root()->DeleteKey("k"));
  EXPECT_EQ(Body(), "<r><section name=\"k\"/></r>");
  EXPECT_EQ(Raised([&] { root()->DeleteKey("k"); }), "DeleteException -2");
}

TEST_F(XMLStorageTest, EnumerationsListNamedChildrenOfTheirKindInDocumentOrder) {
  Load(
      "<r><key name=\"x\"/><section name=\"s\"/><key/><other name=\"o\"/><key name=\"y\"/>"
      "<section name=\"t\"><key name=\"inner\"/></section><section/></r>");
  EXPECT_EQ(Names(root()->EnumKeys()), (std::vector<std::string>{"x", "y"}));
  EXPECT_EQ(Names(root()->EnumSections()), (std::vector<std::string>{"s", "t"}));

  Ref<IStorageSection> empty(root()->OpenSection("s"));
  EXPECT_TRUE(Names(empty->EnumKeys()).empty());
  EXPECT_TRUE(Names(empty->EnumSections()).empty());
}

TEST_F(XMLStorageTest, HandWrittenDocumentIsReachedThroughMixedSeparators) {
  Load(
      "<settings>\n  <section name=\"Editor\">\n    <section name=\"Font\">\n"
      "      <key name=\"Face\" value=\"Mono\" type=\"String\" size=\"5\"/>\n"
      "    </section>\n  </section>\n</settings>\n");
  Ref<IStorageSection> font(root()->OpenSection("\\editor/FONT\\"));
  Ref<IStorageKey> face(font->OpenKey("face"));
  char text[8] = {};
  ASSERT_TRUE(face->Read(text, sizeof text));
  EXPECT_STREQ(text, "Mono");
  EXPECT_EQ(Names(font->EnumKeys()), std::vector<std::string>{"Face"});
}

TEST_F(XMLStorageTest, SectionsAndKeysOutliveTheSectionThatMadeThem) {
  Ref<IStorageSection> child(root()->CreateSection("a"));
  Ref<IStorageKey> key(child->CreateKey("k"));
  child.reset();
  const char value[] = "kept";
  key->Write(storage::TYPE_STRING, value, sizeof value);
  EXPECT_EQ(
      Body(),
      "<r><section name=\"a\"><key name=\"k\" value=\"kept\" type=\"String\" size=\"5\"/></section></r>");
}

}  // namespace
