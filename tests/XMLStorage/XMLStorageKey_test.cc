// Keys of the XML backend: the stored form of each value type and reading it
// back, also from documents edited by hand.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

#include "XmlSectionTestSupport.h"
#include "storage/storage.h"

namespace {

using storage::IStorageKey;
using storage::Ref;
using xmlsections::Raised;

class XMLStorageKeyTest : public xmlsections::XmlTreeTest {
 protected:
  void SetUp() override { Load("<r/>"); }

  // A document holding one key element with the given attributes and
  // children; returns that key.
  IStorageKey* LoadKey(const std::string& attributes, const std::string& children = "") {
    Load("<r><key name=\"k\" " + attributes + ">" + children + "</key></r>");
    key_.reset(root()->OpenKey("k"));
    return key_.get();
  }

  IStorageKey* NewKey() {
    key_.reset(root()->CreateKey("k"));
    return key_.get();
  }

  // The buffer after a successful read of `size` bytes; bytes past what the
  // read writes keep the marker '#'.
  std::string ReadInto(unsigned size, unsigned room = 12) {
    std::string buffer(room, '#');
    EXPECT_TRUE(key_->Read(buffer.data(), size));
    return buffer;
  }

  Ref<IStorageKey> key_;
};

TEST_F(XMLStorageKeyTest, BinaryIsStoredAsBase64AndReadOnlyWhole) {
  const unsigned char bytes[] = {1, 2, 3, 4, 5};
  ASSERT_TRUE(NewKey()->Write(storage::TYPE_BINARY, bytes, sizeof bytes));
  EXPECT_EQ(Body(), "<r><key name=\"k\" value=\"AQIDBAU=\" type=\"Binary\" size=\"5\"/></r>");
  EXPECT_EQ(key_->GetType(), storage::TYPE_BINARY);
  EXPECT_EQ(key_->GetSize(), 5u);
  EXPECT_EQ(ReadInto(5), std::string("\1\2\3\4\5#######", 12));
  EXPECT_EQ(Raised([&] { ReadInto(4); }), "Exception -6");

  ASSERT_TRUE(key_->Write(storage::TYPE_BINARY, nullptr, 0));
  EXPECT_EQ(Body(), "<r><key name=\"k\" value=\"\" type=\"Binary\" size=\"0\"/></r>");
  EXPECT_TRUE(key_->Read(nullptr, 0));
}

TEST_F(XMLStorageKeyTest, IntegerIsStoredAsDecimalText) {
  const int32_t minusSeven = -7;
  ASSERT_TRUE(NewKey()->Write(storage::TYPE_INTEGER, &minusSeven, sizeof minusSeven));
  EXPECT_EQ(Body(), "<r><key name=\"k\" value=\"-7\" type=\"Integer\" size=\"4\"/></r>");
  EXPECT_EQ(key_->GetType(), storage::TYPE_INTEGER);
  int32_t read = 0;
  ASSERT_TRUE(key_->Read(&read, sizeof read));
  EXPECT_EQ(read, -7);
}

TEST_F(XMLStorageKeyTest, IntegerNeedsFourBytesOnBothSides) {
  const int32_t value = 5;
  const char before[] = "<r><key name=\"k\"/></r>";
  EXPECT_EQ(Raised([&] { NewKey()->Write(storage::TYPE_INTEGER, &value, 2); }), "IOException -7");
  EXPECT_EQ(Body(), before);

  ASSERT_TRUE(key_->Write(storage::TYPE_INTEGER, &value, sizeof value));
  std::string small(3, '#');
  EXPECT_EQ(Raised([&] { key_->Read(small.data(), 3); }), "IOException -7");
  EXPECT_EQ(small, "###");
}

TEST_F(XMLStorageKeyTest, StringKeepsAtMostTheSizeGivenAndCountsItsNul) {
  ASSERT_TRUE(NewKey()->Write(storage::TYPE_STRING, "abc", 10));
  EXPECT_EQ(Body(), "<r><key name=\"k\" value=\"abc\" type=\"String\" size=\"4\"/></r>");
  EXPECT_EQ(key_->GetSize(), 4u);
  EXPECT_EQ(Raised([&] { ReadInto(3); }), "IOException -7");
  EXPECT_EQ(ReadInto(4), std::string("abc\0########", 12));

  ASSERT_TRUE(key_->Write(storage::TYPE_STRING, "abc", 2));
  EXPECT_EQ(Body(), "<r><key name=\"k\" value=\"ab\" type=\"String\" size=\"2\"/></r>");
  EXPECT_EQ(ReadInto(2), "ab##########");

  ASSERT_TRUE(key_->Write(storage::TYPE_STRING, nullptr, 0));
  EXPECT_EQ(Body(), "<r><key name=\"k\" value=\"\" type=\"String\" size=\"0\"/></r>");
  EXPECT_TRUE(key_->Read(nullptr, 0));
}

TEST_F(XMLStorageKeyTest, MultiStringGivesEachStringItsNulWhileRoomLasts) {
  const char strings[] = {'a', 0, 'b', 'c', 0, 0};
  ASSERT_TRUE(NewKey()->Write(storage::TYPE_MULTI_STRING, strings, sizeof strings));
  EXPECT_EQ(Body(),
            "<r><key name=\"k\" type=\"MultiString\" size=\"6\">"
            "<substring value=\"a\"/><substring value=\"bc\"/></key></r>");
  EXPECT_EQ(key_->GetType(), storage::TYPE_MULTI_STRING);
  EXPECT_EQ(ReadInto(10), std::string("a\0bc\0\0######", 12));
  EXPECT_EQ(ReadInto(3), std::string("a\0\0#########", 12));
  EXPECT_EQ(ReadInto(0), std::string(12, '#'));
}

TEST_F(XMLStorageKeyTest, MultiStringStopsWhereTheSizeEnds) {
  const char unterminated[] = {'x', 'y', 'z'};
  ASSERT_TRUE(NewKey()->Write(storage::TYPE_MULTI_STRING, unterminated, 2));
  EXPECT_EQ(Body(), "<r><key name=\"k\" type=\"MultiString\" size=\"2\"><substring value=\"xy\"/></key></r>");

  ASSERT_TRUE(key_->Write(storage::TYPE_MULTI_STRING, nullptr, 0));
  EXPECT_EQ(Body(), "<r><key name=\"k\" type=\"MultiString\" size=\"0\"><substring value=\"\"/></key></r>");
  EXPECT_EQ(ReadInto(4), std::string("\0\0##########", 12));
}

TEST_F(XMLStorageKeyTest, WriteReplacesTheWholeEarlierValue) {
  const char first[] = {'a', 0, 'b', 0, 0};
  const char second[] = {'z', 0, 0};
  ASSERT_TRUE(NewKey()->Write(storage::TYPE_MULTI_STRING, first, sizeof first));
  ASSERT_TRUE(key_->Write(storage::TYPE_MULTI_STRING, second, sizeof second));
  EXPECT_EQ(Body(), "<r><key name=\"k\" type=\"MultiString\" size=\"3\"><substring value=\"z\"/></key></r>");
  EXPECT_EQ(ReadInto(8), std::string("z\0\0#########", 12));

  ASSERT_TRUE(key_->Write(storage::TYPE_STRING, "text", 5));
  EXPECT_EQ(Body(), "<r><key name=\"k\" type=\"String\" size=\"5\" value=\"text\"/></r>");
  const int32_t number = 12;
  ASSERT_TRUE(key_->Write(storage::TYPE_INTEGER, &number, sizeof number));
  EXPECT_EQ(Body(), "<r><key name=\"k\" type=\"Integer\" size=\"4\" value=\"12\"/></r>");
}

TEST_F(XMLStorageKeyTest, FailedWritesLeaveTheValueAlone) {
  ASSERT_TRUE(NewKey()->Write(storage::TYPE_STRING, "keep", 5));
  const std::string before = Body();
  EXPECT_EQ(Raised([&] { key_->Write(storage::TYPE_UNKNOWN, "x", 2); }), "IOException -6");
  EXPECT_EQ(Raised([&] { key_->Write(static_cast<storage::Type>(5), "x", 2); }), "IOException -6");
  EXPECT_EQ(Raised([&] { key_->Write(storage::TYPE_BINARY, nullptr, 3); }), "IOException -6");
  EXPECT_EQ(Body(), before);
}

TEST_F(XMLStorageKeyTest, KeyNeverWrittenHasNoValue) {
  NewKey();
  EXPECT_EQ(key_->GetType(), storage::TYPE_UNKNOWN);
  EXPECT_EQ(key_->GetSize(), 0u);
  EXPECT_EQ(Raised([&] { ReadInto(4); }), "IOException -10");
}

TEST_F(XMLStorageKeyTest, UnknownTypeNamesAreRefused) {
  LoadKey("value=\"abc\" type=\"string\" size=\"4\"");
  EXPECT_EQ(Raised([&] { key_->GetType(); }), "Exception -6");
  EXPECT_EQ(Raised([&] { ReadInto(4); }), "Exception -6");
  LoadKey("value=\"abc\" type=\"\" size=\"4\"");
  EXPECT_EQ(Raised([&] { key_->GetType(); }), "Exception -6");
}

TEST_F(XMLStorageKeyTest, HandEditedValuesNeverLeadPastTextOrBuffer) {
  LoadKey("type=\"String\" size=\"4\"");
  EXPECT_EQ(Raised([&] { ReadInto(8); }), "IOException -6");

  LoadKey("value=\"abc\" type=\"String\" size=\"100\"");
  EXPECT_EQ(Raised([&] { ReadInto(12); }), "Exception -6");
  LoadKey("value=\"abc\" type=\"String\"");
  EXPECT_EQ(key_->GetSize(), 0u);
  EXPECT_EQ(Raised([&] { ReadInto(12); }), "Exception -6");
  LoadKey("value=\"abc\" type=\"String\" size=\"-1\"");
  EXPECT_EQ(key_->GetSize(), 0u);
  EXPECT_EQ(Raised([&] { ReadInto(12); }), "Exception -6");

  LoadKey("value=\"AQIDBA\" type=\"Binary\" size=\"4\"");
  EXPECT_EQ(Raised([&] { ReadInto(12); }), "Exception -6");
  LoadKey("value=\"AQIDBAU=\" type=\"Binary\" size=\"9\"");
  EXPECT_EQ(Raised([&] { ReadInto(12); }), "Exception -6");
  LoadKey("value=\"AQIDBAU=\" type=\"Binary\"");
  EXPECT_EQ(Raised([&] { ReadInto(12); }), "Exception -6");

  // A size no Read could fill is cut to what the value holds, so that a
  // caller sizing its buffer by it does not allocate gigabytes.
  LoadKey("value=\"abc\" type=\"String\" size=\"4000000000\"");
  EXPECT_EQ(key_->GetSize(), 4u);
  LoadKey("value=\"AQIDBAU=\" type=\"Binary\" size=\"4000000000\"");
  EXPECT_EQ(key_->GetSize(), 5u);
  LoadKey("value=\"7\" type=\"Integer\" size=\"4000000000\"");
  EXPECT_EQ(key_->GetSize(), 4u);
  LoadKey("type=\"MultiString\" size=\"1043455508\"", "<substring value=\"a\"/><substring value=\"bc\"/>");
  EXPECT_EQ(key_->GetSize(), 6u);
  EXPECT_EQ(ReadInto(6), std::string("a\0bc\0\0######", 12));
  LoadKey("value=\"abc\" type=\"Strange\" size=\"10\"");
  EXPECT_EQ(key_->GetSize(), 0u);

  LoadKey("value=\"99999999999\" type=\"Integer\" size=\"4\"");
  int32_t number = 0;
  ASSERT_TRUE(key_->Read(&number, sizeof number));
  EXPECT_EQ(number, INT32_MAX);
}

TEST_F(XMLStorageKeyTest, MultiStringReadSkipsChildrenThatHoldNoString) {
  LoadKey("type=\"MultiString\" size=\"9\"",
          "<substring value=\"one\"/><other value=\"no\"/><substring/><substring value=\"two\"/>");
  EXPECT_EQ(ReadInto(12), std::string("one\0two\0\0###", 12));
}

TEST_F(XMLStorageKeyTest, NullBufferWithRoomIsRefused) {
  ASSERT_TRUE(NewKey()->Write(storage::TYPE_STRING, "abc", 4));
  EXPECT_EQ(Raised([&] { key_->Read(nullptr, 4); }), "IOException -6");
}

TEST_F(XMLStorageKeyTest, SavedValuesReadBackFromTheReparsedDocument) {
  const unsigned char bytes[] = {0, 255, 60, 38, 34};
  const int32_t number = INT32_MIN;
  const char strings[] = "<a&b>\0\"q\"\0";
  Ref<IStorageKey>(root()->CreateKey("bin"))->Write(storage::TYPE_BINARY, bytes, sizeof bytes);
  Ref<IStorageKey>(root()->CreateKey("int"))->Write(storage::TYPE_INTEGER, &number, sizeof number);
  Ref<IStorageKey>(root()->CreateKey("str"))->Write(storage::TYPE_STRING, "<&\"'>", 6);
  Ref<IStorageKey>(root()->CreateKey("multi"))->Write(storage::TYPE_MULTI_STRING, strings, sizeof strings);

  Load(Body());
  key_.reset(root()->OpenKey("BIN"));
  EXPECT_EQ(ReadInto(5), std::string("\0\xFF<&\"#######", 12));
  key_.reset(root()->OpenKey("int"));
  int32_t readNumber = 0;
  ASSERT_TRUE(key_->Read(&readNumber, sizeof readNumber));
  EXPECT_EQ(readNumber, INT32_MIN);
  key_.reset(root()->OpenKey("str"));
  EXPECT_EQ(ReadInto(6), std::string("<&\"'>\0######", 12));
  key_.reset(root()->OpenKey("multi"));
  EXPECT_EQ(ReadInto(12), std::string("<a&b>\0\"q\"\0\0#", 12));
}

}  // namespace
