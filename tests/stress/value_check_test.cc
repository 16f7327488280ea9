// Self-checking values: every type round-trips, and any changed bit, a value
// from another key, or a cut-off read is refused.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ValueCheck.h"

namespace stress {
namespace {

const Stamp kStamp{"s3/sub1/k7", 12, 2, 345};

class EveryType : public ::testing::TestWithParam<storage::Type> {};

TEST_P(EveryType, RoundTripsItsStamp) {
  const EncodedValue value = Encode(GetParam(), kStamp, 99, 40);
  ASSERT_EQ(value.type, GetParam());
  // Read fills a larger buffer; the value must find its own end in it.
  std::vector<char> buffer(value.bytes);
  buffer.resize(buffer.size() + 64, static_cast<char>(0xAB));
  std::string why;
  const std::optional<Stamp> stamp = Decode(GetParam(), buffer.data(), buffer.size(), kStamp.location, why);
  ASSERT_TRUE(stamp) << why;
  EXPECT_EQ(stamp->location, kStamp.location);
  if (GetParam() != storage::TYPE_INTEGER) {
    EXPECT_EQ(stamp->writer, kStamp.writer);
    EXPECT_EQ(stamp->thread, kStamp.thread);
    EXPECT_EQ(stamp->sequence, kStamp.sequence);
  }
}

TEST_P(EveryType, RefusesAValueOfAnotherKey) {
  const EncodedValue value = Encode(GetParam(), kStamp, 7, 20);
  std::string why;
  EXPECT_FALSE(Decode(GetParam(), value.bytes.data(), value.bytes.size(), "s3/sub1/k8", why));
  EXPECT_FALSE(why.empty());
}

TEST_P(EveryType, RefusesEveryFlippedBit) {
  const EncodedValue value = Encode(GetParam(), kStamp, 5, 24);
  for (size_t byte = 0; byte < value.bytes.size(); ++byte) {
    for (int bit = 0; bit < 8; ++bit) {
      std::vector<char> damaged(value.bytes);
      damaged[byte] = static_cast<char>(damaged[byte] ^ (1 << bit));
      std::string why;
      EXPECT_FALSE(Decode(GetParam(), damaged.data(), damaged.size(), kStamp.location, why))
          << "byte " << byte << " bit " << bit;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Types, EveryType,
                         ::testing::Values(storage::TYPE_STRING, storage::TYPE_MULTI_STRING,
                                           storage::TYPE_BINARY, storage::TYPE_INTEGER));

TEST(ValueCheck, RefusesReadsCutShort) {
  for (storage::Type type : {storage::TYPE_STRING, storage::TYPE_MULTI_STRING, storage::TYPE_BINARY}) {
    const EncodedValue value = Encode(type, kStamp, 3, 30);
    for (size_t length = 0; length < value.bytes.size(); ++length) {
      std::string why;
      EXPECT_FALSE(Decode(type, value.bytes.data(), length, kStamp.location, why))
          << "type " << type << " cut to " << length;
    }
  }
}

TEST(ValueCheck, StringsKeepTheirCase) {
  const EncodedValue value = Encode(storage::TYPE_STRING, kStamp, 11, 200);
  const std::string text(value.bytes.data());
  EXPECT_NE(text.find_first_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ"), std::string::npos);
  EXPECT_NE(text.find_first_of("abcdefghijklmnopqrstuvwxyz"), std::string::npos);
  // The same text with its letters folded is another value and fails.
  std::string folded = text;
  for (char& c : folded) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  folded.push_back('\0');
  std::string why;
  EXPECT_FALSE(Decode(storage::TYPE_STRING, folded.data(), folded.size(), kStamp.location, why));
}

TEST(ValueCheck, BinaryValuesHoldEveryByte) {
  const EncodedValue value = Encode(storage::TYPE_BINARY, kStamp, 1, 5000);
  std::vector<bool> seen(256);
  for (char byte : value.bytes) seen[static_cast<unsigned char>(byte)] = true;
  EXPECT_EQ(std::count(seen.begin(), seen.end(), true), 256);
}

TEST(ValueCheck, DifferentNoiseGivesDifferentValues) {
  EXPECT_NE(Encode(storage::TYPE_STRING, kStamp, 1, 50).bytes,
            Encode(storage::TYPE_STRING, kStamp, 2, 50).bytes);
}

TEST(ValueCheck, Crc32OfKnownText) {
  // The check value of the standard CRC-32 for "123456789".
  EXPECT_EQ(Crc32("123456789", 9), 0xCBF43926u);
}

}  // namespace
}  // namespace stress
