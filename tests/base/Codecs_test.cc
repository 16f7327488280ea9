#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <optional>
#include <random>
#include <string>

#include "Utils/Base64.h"
#include "framework/Hash.h"
#include "framework/HashHelper.h"
#include "framework/Path.h"

namespace storage {
namespace {

// Encodes into a buffer of exactly the size the size query reports, after
// checking that one byte less is refused without a write.
std::string Encode(const std::string& bytes) {
  size_t length = 0;
  EXPECT_FALSE(base64::encode(bytes.data(), bytes.size(), nullptr, &length));
  std::string text(length, '#');
  if (length > 0) {
    size_t shorter = length - 1;
    EXPECT_FALSE(base64::encode(bytes.data(), bytes.size(), text.data(), &shorter));
    EXPECT_EQ(shorter, length - 1);
    EXPECT_EQ(text, std::string(length, '#'));
  }
  EXPECT_TRUE(base64::encode(bytes.data(), bytes.size(), text.data(), &length));
  EXPECT_EQ(length, text.size());
  return text;
}

// The decoded bytes, or nullopt when decode refuses the text; checked like Encode.
std::optional<std::string> Decode(const char* text, size_t n) {
  size_t length = 16;  // the room offered when the size query refuses the text
  EXPECT_FALSE(base64::decode(text, n, nullptr, &length));
  std::string bytes(length, '#');
  if (length > 0) {
    size_t shorter = length - 1;
    EXPECT_FALSE(base64::decode(text, n, bytes.data(), &shorter));
    EXPECT_EQ(shorter, length - 1);
    EXPECT_EQ(bytes, std::string(length, '#'));
  }
  if (!base64::decode(text, n, bytes.data(), &length)) return std::nullopt;
  EXPECT_EQ(length, bytes.size());
  return bytes;
}
std::optional<std::string> Decode(const std::string& text) { return Decode(text.data(), text.size()); }

TEST(Base64, GeneratedBytesOfEveryLengthRoundTrip) {
  std::mt19937 random(20240611);
  for (size_t size = 0; size < 200; ++size) {
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    std::string text = Encode(bytes);
    ASSERT_EQ(text.size(), (size + 2) / 3 * 4);
    size_t body = text.find_last_not_of('=') + 1;  // 0 for no text
    ASSERT_EQ(text.size() - body, (3 - size % 3) % 3) << text;
    ASSERT_EQ(text.substr(0, body).find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"),
              std::string::npos);
    ASSERT_EQ(Decode(text), bytes) << "size " << size;
  }
  // The standard alphabet, in its order.
  const char* const kFoobar[] = {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYg==", "Zm9vYmE=", "Zm9vYmFy"};
  for (size_t i = 0; i < std::size(kFoobar); ++i) EXPECT_EQ(Encode(std::string("foobar", i)), kFoobar[i]);
  EXPECT_EQ(Encode(std::string("\0\xff\xfe\xfb", 4)), "AP/++w==");
}

TEST(Base64, InvalidInputs) {
  const struct {
    const char* text;
    size_t n;
    std::optional<std::string> bytes;
  } kCases[] = {
      {"AQ=", 3, std::nullopt},  // not a multiple of four
      {"AQIDBA", 6, std::nullopt},
      {nullptr, 4, std::nullopt},
      {"AQ*=", 4, std::string("\x01\0", 2)},  // foreign characters and inner "=" are zero bits
      {"Q=JD", 4, std::string("@\x02" "C")},
      {"====", 4, std::string(1, '\0')},
  };
  for (const auto& c : kCases) EXPECT_EQ(Decode(c.text, c.n), c.bytes) << (c.text ? c.text : "null");

  uint8_t bytes[8] = {};
  char text[8] = {};
  size_t length = 8;
  EXPECT_FALSE(base64::decode("AQ==", 4, bytes, nullptr));
  EXPECT_FALSE(base64::encode(bytes, 5, text, nullptr));
  EXPECT_FALSE(base64::encode(nullptr, 5, text, &length));  // room, but nothing to encode
  EXPECT_EQ(length, 8u);
}

uint32_t Xxh32(const void* data, size_t size) {
  hash::IBuilder* builder = hash::Factory::GetBuilderInstance(hash::kHashTypeXxh32);
  hash::IHash* result = builder->Build(data, size);
  EXPECT_EQ(result->GetSize(), 4u);
  uint8_t bytes[6];
  std::memset(bytes, 0xEE, sizeof bytes);
  EXPECT_EQ(result->GetResult(bytes, 1), 1u);  // at most what was asked for
  EXPECT_EQ(bytes[1], 0xEE);
  EXPECT_EQ(result->GetResult(bytes, sizeof bytes), 4u);
  EXPECT_EQ(bytes[4], 0xEE);
  result->Release();
  builder->Release();
  return bytes[0] | bytes[1] << 8 | bytes[2] << 16 | static_cast<uint32_t>(bytes[3]) << 24;
}

// Stored checksums and shared object names depend on these exact values.
TEST(Hash, FixedAlgorithmsGiveTheirKnownValues) {
  EXPECT_EQ(Xxh32("", 0), 0x02CC5D05u);
  EXPECT_EQ(Xxh32(nullptr, 0), 0x02CC5D05u);
  EXPECT_EQ(Xxh32("abc", 3), 0x32D153FFu);
  EXPECT_EQ(Xxh32("settingstore", 12), 0xB89EB830u);
  uint32_t word = hash::HashHelper<hash::kHashTypeXxh32>().getResult("abc", 3);
  EXPECT_EQ(std::memcmp(&word, "\xFF\x53\xD1\x32", 4), 0);  // in the builder's byte order
  EXPECT_EQ(hash::Factory::GetBuilderInstance(1), nullptr);
  EXPECT_EQ(hash::Factory::GetBuilderInstance(hash::kHashTypeXxh32)->Build(nullptr, 4), nullptr);

  // XXH64, seed 0, of "/tmp/a/b", in hex; every spelling of the place gives it.
  for (const char* path : {"/tmp/a/b", "\\tmp\\a\\.\\b\\", "/tmp/x/../a//b"}) {
    EXPECT_EQ(utils::generateUniqueHashByPath(path), "ded4e568ff27a3b9") << path;
  }
  EXPECT_NE(utils::generateUniqueHashByPath("/tmp/a/B"), "ded4e568ff27a3b9");
}

}  // namespace
}  // namespace storage
