#include "base/Base64.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace storage::base64 {
namespace {

std::string Encode(const std::string& bytes) {
  size_t length = 0;
  encode(bytes.data(), bytes.size(), nullptr, &length);
  std::string text(length, '?');
  EXPECT_TRUE(encode(bytes.data(), bytes.size(), text.data(), &length));
  EXPECT_EQ(length, text.size());
  return text;
}

std::string Decode(const std::string& text) {
  size_t length = 0;
  EXPECT_FALSE(decode(text.data(), text.size(), nullptr, &length));
  std::string bytes(length, '?');
  EXPECT_TRUE(decode(text.data(), text.size(), bytes.data(), &length));
  EXPECT_EQ(length, bytes.size());
  return bytes;
}

TEST(Base64, KnownVectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},
      {"f", "Zg=="},
      {"fo", "Zm8="},
      {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="},
      {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"},
      {"\x01\x02\x03\x04\x05", "AQIDBAU="},
      {std::string("\0\xff\xfe", 3), "AP/+"},
  };
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(Encode(bytes), text);
    EXPECT_EQ(Decode(text), bytes) << text;
  }
}

TEST(Base64, EncodeReportsTheNeededLengthAndRefusesShortBuffers) {
  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  size_t length = 0;
  EXPECT_FALSE(encode(bytes, 5, nullptr, &length));
  EXPECT_EQ(length, 8u);

  char text[8];
  std::fill(std::begin(text), std::end(text), '#');
  length = 7;
  EXPECT_FALSE(encode(bytes, 5, text, &length));
  EXPECT_EQ(length, 7u);
  EXPECT_EQ(std::string(text, 8), "########");

  length = 8;
  EXPECT_FALSE(encode(nullptr, 5, text, &length));  // room, but nothing to encode
  EXPECT_EQ(length, 8u);
  EXPECT_FALSE(encode(bytes, 5, text, nullptr));

  length = 0;
  EXPECT_TRUE(encode(bytes, 0, text, &length));
  EXPECT_EQ(length, 0u);
}

TEST(Base64, DecodeChecksItsInputAndWritesOnlyTheDecodedBytes) {
  uint8_t bytes[3] = {0xEE, 0xEE, 0xEE};
  size_t length = 3;
  EXPECT_TRUE(decode("AQ==", 4, bytes, &length));
  EXPECT_EQ(length, 1u);
  EXPECT_EQ(bytes[0], 0x01);
  EXPECT_EQ(bytes[1], 0xEE);  // padding is not written
  EXPECT_EQ(bytes[2], 0xEE);

  length = 3;
  EXPECT_FALSE(decode("AQ=", 3, bytes, &length));
  EXPECT_FALSE(decode("AQIDBA", 6, bytes, &length));
  EXPECT_FALSE(decode(nullptr, 4, bytes, &length));
  EXPECT_FALSE(decode("AQ==", 4, bytes, nullptr));

  uint8_t small[4] = {0xEE, 0xEE, 0xEE, 0xEE};
  length = 4;
  EXPECT_FALSE(decode("AQIDBAU=", 8, small, &length));  // needs 5 bytes
  EXPECT_EQ(length, 4u);
  EXPECT_EQ(small[0], 0xEE);
  EXPECT_FALSE(decode("AQIDBAU=", 8, nullptr, &length));
  EXPECT_EQ(length, 5u);
}

TEST(Base64, ForeignCharactersAndInnerPaddingReadAsZeroBits) {
  EXPECT_EQ(Decode("AQ*="), Decode("AQA="));
  EXPECT_EQ(Decode("Q=JD"), Decode("QAJD"));
  EXPECT_EQ(Decode("===="), std::string(1, '\0'));
}

TEST(Base64, RandomBytesRoundTrip) {
  std::mt19937 random(20240611);
  for (size_t size = 0; size < 300; ++size) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    std::string text = Encode(bytes);
    ASSERT_EQ(text.size(), (size + 2) / 3 * 4);
    ASSERT_EQ(text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/="),
              std::string::npos);
    ASSERT_EQ(Decode(text), bytes) << "size " << size;
  }
}

}  // namespace
}  // namespace storage::base64
