// Keys of the registry backend and the type translation, on both stores.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "registry/RegistryBackendSupport.h"

namespace settingstore::test {
namespace {

using namespace storage;

class RegistryStorageKeyTest : public RegistryBackendTest {
 protected:
  // Stores a value of any registry type under the test section, as another
  // program could.
  void SetRawValue(const char* name, reg::DWORD type, const std::string& bytes) {
    KeyHandle key;
    ASSERT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "Software\\RegistryBackendTest", key.Out()), 0);
    EXPECT_EQ(reg::RegSetValueExA(key.get(), name, 0, type, reinterpret_cast<const uint8_t*>(bytes.data()),
                                  static_cast<reg::DWORD>(bytes.size())),
              0);
  }
};

TEST_P(RegistryStorageKeyTest, EveryTypeStoresItsBytesUnchanged) {
  struct Case {
    Type type;
    std::string bytes;
  };
  const Case cases[] = {
      {TYPE_INTEGER, "\x04\x03\x02\x01"},
      {TYPE_BINARY, std::string("\x00\xff\x10", 3)},
      {TYPE_STRING, "no terminator"},
      {TYPE_STRING, std::string("with\0", 5)},
      {TYPE_MULTI_STRING, std::string("one\0two\0\0", 9)},
      {TYPE_BINARY, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    Ref<IStorageKey> key(section().CreateKey("Value"));
    EXPECT_TRUE(key->Write(c.type, c.bytes.data(), static_cast<unsigned>(c.bytes.size())));
    EXPECT_EQ(key->GetType(), c.type);
    ASSERT_EQ(key->GetSize(), c.bytes.size());
    std::string read(c.bytes.size() + 4, '#');
    EXPECT_TRUE(key->Read(read.data(), static_cast<unsigned>(read.size())));
    EXPECT_EQ(read.substr(0, c.bytes.size()), c.bytes);
    EXPECT_EQ(read.substr(c.bytes.size()), "####");  // nothing beyond the value is touched
  }
}

TEST_P(RegistryStorageKeyTest, WritesThatCannotBeStoredAreRefusedAndTouchNothing) {
  Ref<IStorageKey> fresh(section().CreateKey("Fresh"));
  EXPECT_STORAGE_ERROR(fresh->Write(TYPE_UNKNOWN, "x", 2), IOException, -3);
  EXPECT_STORAGE_ERROR(fresh->Write(static_cast<Type>(5), "x", 2), IOException, -3);
  EXPECT_STORAGE_ERROR(fresh->Write(TYPE_BINARY, nullptr, 4), IOException, -6);
  EXPECT_TRUE(Names(section().EnumKeys()).empty());

  WriteString(section(), "Kept", "old");
  Ref<IStorageKey> kept(section().OpenKey("Kept"));
  EXPECT_STORAGE_ERROR(kept->Write(TYPE_UNKNOWN, "new", 4), IOException, -3);
  EXPECT_EQ(kept->GetType(), TYPE_STRING);
  EXPECT_EQ(ReadString(section(), "Kept"), "old");
}

TEST_P(RegistryStorageKeyTest, AnExpandableStringReadsAndSizesButHasNoFrameworkType) {
  SetRawValue("Expand", reg::REG_EXPAND_SZ, std::string("%HOME%\0", 7));
  Ref<IStorageKey> key(section().OpenKey("Expand"));
  EXPECT_EQ(key->GetSize(), 7u);
  char read[7] = {};
  EXPECT_TRUE(key->Read(read, sizeof read));
  EXPECT_STREQ(read, "%HOME%");
  EXPECT_STORAGE_ERROR(key->GetType(), Exception, -6);

  for (reg::DWORD type : {reg::REG_NONE, reg::REG_DWORD_BIG_ENDIAN, reg::REG_LINK, reg::DWORD{11}}) {
    SetRawValue("Other", type, "1234");
    Ref<IStorageKey> other(section().OpenKey("Other"));
    EXPECT_STORAGE_ERROR(other->GetType(), Exception, -6);
    EXPECT_EQ(other->GetSize(), 4u);
  }
}

INSTANTIATE_TEST_SUITE_P(Stores, RegistryStorageKeyTest,
                         ::testing::Values(StoreKind::kMemory, StoreKind::kSqlite), StoreName);

TEST(GetRegType, TranslatesBetweenFrameworkAndRegistryTypes) {
  const std::pair<Type, unsigned long> pairs[] = {
      {TYPE_STRING, 1ul}, {TYPE_BINARY, 3ul}, {TYPE_INTEGER, 4ul}, {TYPE_MULTI_STRING, 7ul}};
  for (const auto& [type, regType] : pairs) {
    EXPECT_EQ(GetRegType(type), regType);
    EXPECT_EQ(GetRegType(regType), type);
  }
  for (Type other : {TYPE_UNKNOWN, static_cast<Type>(5), static_cast<Type>(-1)}) {
    EXPECT_EQ(GetRegType(other), 0xFFFFFFFFul) << other;
  }
  for (unsigned long other : {0ul, 2ul, 5ul, 6ul, 8ul, 11ul, 0xFFFFFFFFul}) {
    EXPECT_EQ(GetRegType(other), TYPE_UNKNOWN) << other;
  }
}

}  // namespace
}  // namespace settingstore::test
