#include "base/Hash.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <string>

namespace storage::hash {
namespace {

// The four result bytes of hash type 0 over the text.
std::array<uint8_t, 4> HashBytes(const void* data, size_t size) {
  HashBuilder* builder = Factory::GetBuilderInstance(0);
  EXPECT_NE(builder, nullptr);
  std::array<uint8_t, 4> bytes{};
  if (builder == nullptr) return bytes;
  HashFunction* hash = builder->Build(data, size);
  EXPECT_NE(hash, nullptr);
  if (hash != nullptr) {
    EXPECT_EQ(hash->GetSize(), 4u);
    EXPECT_EQ(hash->GetResult(bytes.data(), 4), 4u);
    hash->Release();
  }
  builder->Release();
  return bytes;
}

std::array<uint8_t, 4> LittleEndian(uint32_t value) {
  return {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value >> 16),
          static_cast<uint8_t>(value >> 24)};
}

TEST(Hash, Type0IsXxh32WithSeed0InLittleEndianOrder) {
  EXPECT_EQ(HashBytes("", 0), LittleEndian(0x02CC5D05u));
  EXPECT_EQ(HashBytes(nullptr, 0), LittleEndian(0x02CC5D05u));
  EXPECT_EQ(HashBytes("abc", 3), LittleEndian(0x32D153FFu));
  EXPECT_EQ(HashBytes("settingstore", 12), LittleEndian(0xB89EB830u));
}

TEST(Hash, LongInputsAndSingleBitChangesDiffer) {
  std::string data(1048512, '\xCC');
  auto whole = HashBytes(data.data(), data.size());
  data[data.size() / 2] ^= 1;
  EXPECT_NE(HashBytes(data.data(), data.size()), whole);
  EXPECT_NE(HashBytes(data.data(), data.size() - 1), HashBytes(data.data(), data.size()));
}

TEST(Hash, CopiesAtMostTheRequestedBytesAndRefusesBadRequests) {
  EXPECT_EQ(Factory::GetBuilderInstance(1), nullptr);
  EXPECT_EQ(Factory::GetBuilderInstance(-1), nullptr);
  HashBuilder* builder = Factory::GetBuilderInstance(0);
  ASSERT_NE(builder, nullptr);
  EXPECT_EQ(builder->Build(nullptr, 4), nullptr);
  HashFunction* hash = builder->Build("abc", 3);
  ASSERT_NE(hash, nullptr);
  uint8_t buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_EQ(hash->GetResult(buffer, 2), 2u);
  EXPECT_EQ(hash->GetResult(buffer + 2, sizeof buffer - 2), 4u);
  const uint8_t expected[8] = {0xFF, 0x53, 0xFF, 0x53, 0xD1, 0x32, 0xEE, 0xEE};
  EXPECT_EQ(std::memcmp(buffer, expected, sizeof buffer), 0);
  EXPECT_EQ(hash->GetResult(nullptr, 4), 0u);
  hash->Release();
  builder->Release();
}

}  // namespace
}  // namespace storage::hash
