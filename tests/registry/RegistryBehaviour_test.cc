// What the registry backend relies on, checked on both stores: the in-memory
// one and the persistent SQLite one.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "RegistryTestSupport.h"

namespace settingstore::test {
namespace {

using reg::DWORD;
using reg::HKEY;
using reg::HKEY_CURRENT_USER;

struct MemoryStore {
  static std::shared_ptr<reg::RegistryStore> Make(const TempDirectory&) {
    return std::make_shared<reg::MemoryRegistry>();
  }
};

struct SqliteStore {
  static std::shared_ptr<reg::RegistryStore> Make(const TempDirectory& directory) {
    return reg::OpenPersistentRegistry(directory.File("store/registry.db"));
  }
};

template <typename Kind>
class RegistryBehaviour : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = Kind::Make(directory_);
    ASSERT_NE(store_, nullptr);
    active_ = std::make_unique<ActiveStore>(store_);
    ASSERT_EQ(reg::RegCreateKeyA(HKEY_CURRENT_USER, "Software\\Test", test_.Out()), 0);
  }

  HKEY test() const { return test_.get(); }

  std::vector<std::string> SubKeys(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    DWORD index = 0;
    reg::LSTATUS result;
    while ((result = reg::RegEnumKeyA(key, index++, name, sizeof name)) == reg::kRegSuccess) {
      names.emplace_back(name);
    }
    EXPECT_EQ(result, reg::kRegNoMoreItems);
    return names;
  }

  std::vector<std::string> ValueNames(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    DWORD index = 0;
    for (;;) {
      DWORD length = sizeof name;
      const reg::LSTATUS result =
          reg::RegEnumValueA(key, index++, name, &length, nullptr, nullptr, nullptr, nullptr);
      if (result != reg::kRegSuccess) {
        EXPECT_EQ(result, reg::kRegNoMoreItems);
        return names;
      }
      EXPECT_EQ(length, std::strlen(name));
      names.emplace_back(name);
    }
  }

  TempDirectory directory_;
  std::shared_ptr<reg::RegistryStore> store_;
  std::unique_ptr<ActiveStore> active_;
  KeyHandle test_;
};

using StoreKinds = ::testing::Types<MemoryStore, SqliteStore>;
TYPED_TEST_SUITE(RegistryBehaviour, StoreKinds);

TYPED_TEST(RegistryBehaviour, NewStoreHoldsTheUsualSoftwareKeys) {
  for (HKEY root : {reg::HKEY_CURRENT_USER, reg::HKEY_LOCAL_MACHINE}) {
    KeyHandle software;
    EXPECT_EQ(reg::RegOpenKeyA(root, "Software", software.Out()), 0);
  }
  KeyHandle missing;
  EXPECT_EQ(reg::RegOpenKeyA(reg::HKEY_CLASSES_ROOT, "Software", missing.Out()), reg::kRegNotFound);
}

TYPED_TEST(RegistryBehaviour, CreateMakesEveryLevelAndOpenFindsThemIgnoringCase) {
  KeyHandle deep;
  ASSERT_EQ(reg::RegCreateKeyA(this->test(), "Alpha\\Beta\\Gamma", deep.Out()), 0);
  ASSERT_EQ(SetString(deep.get(), "v", "deep"), 0);

  KeyHandle again;
  ASSERT_EQ(reg::RegOpenKeyA(HKEY_CURRENT_USER, "SOFTWARE\\test\\alpha\\BETA\\gamma", again.Out()), 0);
  EXPECT_EQ(GetString(again.get(), "v"), "deep");

  // Creating under another spelling opens the same key and keeps the first one.
  KeyHandle respelled;
  ASSERT_EQ(reg::RegCreateKeyA(this->test(), "ALPHA", respelled.Out()), 0);
  EXPECT_EQ(this->SubKeys(this->test()), std::vector<std::string>{"Alpha"});
  EXPECT_EQ(this->SubKeys(respelled.get()), std::vector<std::string>{"Beta"});
}

TYPED_TEST(RegistryBehaviour, OpenRefusesMissingKeysAndEmptyLevels) {
  KeyHandle key;
  EXPECT_EQ(reg::RegOpenKeyA(this->test(), "Nowhere", key.Out()), reg::kRegNotFound);
  EXPECT_EQ(reg::RegOpenKeyA(this->test(), "Nowhere\\Deeper", key.Out()), reg::kRegNotFound);
  EXPECT_EQ(reg::RegCreateKeyA(this->test(), "a\\\\b", key.Out()), reg::kRegBadPathname);
  EXPECT_EQ(reg::RegCreateKeyA(this->test(), "\\a", key.Out()), reg::kRegBadPathname);
  EXPECT_EQ(reg::RegCreateKeyA(this->test(), "a\\", key.Out()), reg::kRegBadPathname);
  EXPECT_TRUE(this->SubKeys(this->test()).empty()) << "a refused path made nothing";
  EXPECT_EQ(reg::RegOpenKeyA(this->test(), "x", nullptr), reg::kRegInvalidParameter);
}

TYPED_TEST(RegistryBehaviour, EmptyPathOpensTheKeyItselfAsAHandleOfItsOwn) {
  KeyHandle self;
  ASSERT_EQ(reg::RegOpenKeyA(this->test(), "", self.Out()), 0);
  EXPECT_NE(self.get(), this->test());
  EXPECT_EQ(self.Close(), 0);
  ASSERT_EQ(SetString(this->test(), "still", "open"), 0);
  EXPECT_EQ(GetString(this->test(), "still"), "open");
}

TYPED_TEST(RegistryBehaviour, ValuesKeepTypeAndBytesAsGiven) {
  const uint32_t number = 0x01020304;
  ASSERT_EQ(reg::RegSetValueExA(this->test(), "Number", 0, reg::REG_DWORD,
                                reinterpret_cast<const uint8_t*>(&number), 4),
            0);
  const uint8_t odd[] = {0, 0xFF, 0x80, 0};
  ASSERT_EQ(reg::RegSetValueExA(this->test(), "Odd", 0, 4242, odd, sizeof odd), 0);
  ASSERT_EQ(SetString(this->test(), "Path", "%HOME%", reg::REG_EXPAND_SZ), 0);
  ASSERT_EQ(reg::RegSetValueExA(this->test(), "Empty", 0, reg::REG_BINARY, nullptr, 0), 0);

  DWORD type = 0;
  uint32_t readNumber = 0;
  DWORD size = sizeof readNumber;
  ASSERT_EQ(reg::RegQueryValueExA(this->test(), "number", nullptr, &type,
                                  reinterpret_cast<uint8_t*>(&readNumber), &size),
            0);
  EXPECT_EQ(type, reg::REG_DWORD);
  EXPECT_EQ(size, 4u);
  EXPECT_EQ(readNumber, number);

  uint8_t readOdd[8] = {};
  size = sizeof readOdd;
  ASSERT_EQ(reg::RegQueryValueExA(this->test(), "Odd", nullptr, &type, readOdd, &size), 0);
  EXPECT_EQ(type, 4242u);
  ASSERT_EQ(size, sizeof odd);
  EXPECT_EQ(std::memcmp(readOdd, odd, sizeof odd), 0);

  ASSERT_EQ(reg::RegQueryValueExA(this->test(), "Path", nullptr, &type, nullptr, &size), 0);
  EXPECT_EQ(type, reg::REG_EXPAND_SZ);
  EXPECT_EQ(size, 7u);

  size = 99;
  ASSERT_EQ(reg::RegQueryValueExA(this->test(), "Empty", nullptr, &type, readOdd, &size), 0);
  EXPECT_EQ(type, reg::REG_BINARY);
  EXPECT_EQ(size, 0u);
}

TYPED_TEST(RegistryBehaviour, QueryAnswersMoreDataWithTheNeededSize) {
  ASSERT_EQ(SetString(this->test(), "Text", "twelve bytes"), 0);
  char small[4] = {};
  DWORD size = sizeof small;
  EXPECT_EQ(
      reg::RegQueryValueExA(this->test(), "Text", nullptr, nullptr, reinterpret_cast<uint8_t*>(small), &size),
      reg::kRegMoreData);
  EXPECT_EQ(size, 13u);

  // Size alone, type alone, and an existence test with no output at all.
  size = 0;
  EXPECT_EQ(reg::RegQueryValueExA(this->test(), "Text", nullptr, nullptr, nullptr, &size), 0);
  EXPECT_EQ(size, 13u);
  DWORD type = 0;
  EXPECT_EQ(reg::RegQueryValueExA(this->test(), "Text", nullptr, &type, nullptr, nullptr), 0);
  EXPECT_EQ(type, reg::REG_SZ);
  EXPECT_EQ(reg::RegQueryValueExA(this->test(), "Text", nullptr, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(reg::RegQueryValueExA(this->test(), "Other", nullptr, nullptr, nullptr, nullptr),
            reg::kRegNotFound);
  EXPECT_EQ(reg::RegQueryValueExA(this->test(), "Text", nullptr, nullptr, reinterpret_cast<uint8_t*>(small),
                                  nullptr),
            reg::kRegInvalidParameter);
}

TYPED_TEST(RegistryBehaviour, DefaultValueIsTheEmptyOrNullName) {
  EXPECT_EQ(reg::RegQueryValueExA(this->test(), nullptr, nullptr, nullptr, nullptr, nullptr),
            reg::kRegNotFound);
  ASSERT_EQ(SetString(this->test(), nullptr, "default"), 0);
  EXPECT_EQ(GetString(this->test(), ""), "default");
  ASSERT_EQ(SetString(this->test(), "", "replaced"), 0);
  EXPECT_EQ(GetString(this->test(), nullptr), "replaced");
  EXPECT_EQ(this->ValueNames(this->test()), std::vector<std::string>{""});
  EXPECT_EQ(reg::RegDeleteValueA(this->test(), nullptr), 0);
  EXPECT_TRUE(this->ValueNames(this->test()).empty());
}

TYPED_TEST(RegistryBehaviour, ValueNamesIgnoreCaseAndKeepTheFirstSpelling) {
  ASSERT_EQ(SetString(this->test(), "Width", "1"), 0);
  ASSERT_EQ(SetString(this->test(), "Height", "2"), 0);
  ASSERT_EQ(SetString(this->test(), "WIDTH", "3"), 0);
  EXPECT_EQ(GetString(this->test(), "width"), "3");
  EXPECT_EQ(this->ValueNames(this->test()), (std::vector<std::string>{"Width", "Height"}));

  EXPECT_EQ(reg::RegDeleteValueA(this->test(), "wIdTh"), 0);
  EXPECT_EQ(reg::RegDeleteValueA(this->test(), "Width"), reg::kRegNotFound);
  EXPECT_EQ(GetString(this->test(), "Width"), "<code 2>");
  EXPECT_EQ(this->ValueNames(this->test()), std::vector<std::string>{"Height"});
}

TYPED_TEST(RegistryBehaviour, EnumerationEndsWithNoMoreItemsAndRefusesShortBuffers) {
  for (const char* name : {"Zeta", "alpha", "Mid"}) {
    KeyHandle child;
    ASSERT_EQ(reg::RegCreateKeyA(this->test(), name, child.Out()), 0);
  }
  EXPECT_EQ(this->SubKeys(this->test()), (std::vector<std::string>{"alpha", "Mid", "Zeta"}));
  char exact[6];  // "alpha" and its terminator
  EXPECT_EQ(reg::RegEnumKeyA(this->test(), 0, exact, 5), reg::kRegMoreData);
  EXPECT_EQ(reg::RegEnumKeyA(this->test(), 0, exact, sizeof exact), 0);
  EXPECT_STREQ(exact, "alpha");
  EXPECT_EQ(reg::RegEnumKeyA(this->test(), 3, exact, sizeof exact), reg::kRegNoMoreItems);

  ASSERT_EQ(SetString(this->test(), "LongName", "x"), 0);
  char valueName[16];
  DWORD length = 8;  // no room for the terminator
  EXPECT_EQ(reg::RegEnumValueA(this->test(), 0, valueName, &length, nullptr, nullptr, nullptr, nullptr),
            reg::kRegMoreData);
  char data[2];
  DWORD type = 0;
  DWORD size = sizeof data;
  length = sizeof valueName;
  ASSERT_EQ(reg::RegEnumValueA(this->test(), 0, valueName, &length, nullptr, &type,
                               reinterpret_cast<uint8_t*>(data), &size),
            0);
  EXPECT_STREQ(valueName, "LongName");
  EXPECT_EQ(length, 8u);
  EXPECT_EQ(type, reg::REG_SZ);
  EXPECT_EQ(size, 2u);
  length = sizeof valueName;
  EXPECT_EQ(reg::RegEnumValueA(this->test(), 1, valueName, &length, nullptr, nullptr, nullptr, nullptr),
            reg::kRegNoMoreItems);
}

TYPED_TEST(RegistryBehaviour, InfoCountsSubKeysAndValuesWithTheirLongestNames) {
  KeyHandle child;
  ASSERT_EQ(reg::RegCreateKeyA(this->test(), "Child", child.Out()), 0);
  ASSERT_EQ(reg::RegCreateKeyA(this->test(), "LongerChild\\Grandchild", child.Out()), 0);
  ASSERT_EQ(SetString(this->test(), "Name", "12345"), 0);
  ASSERT_EQ(SetString(this->test(), "", "x"), 0);

  DWORD subKeys = 0, maxSubKey = 0, values = 0, maxValueName = 0, maxValue = 0;
  ASSERT_EQ(reg::RegQueryInfoKeyA(this->test(), nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr,
                                  &values, &maxValueName, &maxValue, nullptr, nullptr),
            0);
  EXPECT_EQ(subKeys, 2u);  // grandchildren are not counted
  EXPECT_EQ(maxSubKey, 11u);
  EXPECT_EQ(values, 2u);
  EXPECT_EQ(maxValueName, 4u);
  EXPECT_EQ(maxValue, 6u);

  ASSERT_EQ(reg::RegQueryInfoKeyA(child.get(), nullptr, nullptr, nullptr, &subKeys, &maxSubKey, nullptr,
                                  &values, &maxValueName, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(subKeys + maxSubKey + values + maxValueName, 0u);
}

TYPED_TEST(RegistryBehaviour, DeleteKeyRefusesKeysWithSubKeys) {
  KeyHandle key;
  ASSERT_EQ(reg::RegCreateKeyA(this->test(), "Parent\\Child", key.Out()), 0);
  ASSERT_EQ(SetString(key.get(), "v", "1"), 0);
  key.Close();

  EXPECT_EQ(reg::RegDeleteKeyA(this->test(), "Parent"), reg::kRegAccessDenied);
  EXPECT_EQ(reg::RegOpenKeyA(this->test(), "Parent\\Child", key.Out()), 0);
  EXPECT_EQ(GetString(key.get(), "v"), "1");
  key.Close();

  // A key with values but no sub-keys goes, values and all.
  EXPECT_EQ(reg::RegDeleteKeyA(this->test(), "PARENT\\child"), 0);
  EXPECT_EQ(reg::RegDeleteKeyA(this->test(), "Parent"), 0);
  EXPECT_EQ(reg::RegDeleteKeyA(this->test(), "Parent"), reg::kRegNotFound);
  EXPECT_TRUE(this->SubKeys(this->test()).empty());
  ASSERT_EQ(reg::RegCreateKeyA(this->test(), "Parent\\Child", key.Out()), 0);
  EXPECT_EQ(GetString(key.get(), "v"), "<code 2>") << "a re-created key starts empty";
  EXPECT_EQ(reg::RegDeleteKeyA(this->test(), ""), reg::kRegInvalidParameter);
  EXPECT_EQ(reg::RegDeleteKeyA(this->test(), nullptr), reg::kRegInvalidParameter);
}

TYPED_TEST(RegistryBehaviour, HandleOfADeletedKeyFailsFromThenOn) {
  KeyHandle doomed;
  ASSERT_EQ(reg::RegCreateKeyA(this->test(), "Doomed", doomed.Out()), 0);
  ASSERT_EQ(SetString(doomed.get(), "v", "1"), 0);
  ASSERT_EQ(reg::RegDeleteKeyA(this->test(), "Doomed"), 0);

  KeyHandle child;
  char name[16];
  DWORD length = sizeof name;
  DWORD count = 0;
  EXPECT_EQ(GetString(doomed.get(), "v"), "<code 1018>");
  EXPECT_EQ(SetString(doomed.get(), "v", "2"), reg::kRegKeyDeleted);
  EXPECT_EQ(reg::RegDeleteValueA(doomed.get(), "v"), reg::kRegKeyDeleted);
  EXPECT_EQ(reg::RegCreateKeyA(doomed.get(), "Child", child.Out()), reg::kRegKeyDeleted);
  EXPECT_EQ(reg::RegOpenKeyA(doomed.get(), "", child.Out()), reg::kRegKeyDeleted);
  EXPECT_EQ(reg::RegEnumKeyA(doomed.get(), 0, name, sizeof name), reg::kRegKeyDeleted);
  EXPECT_EQ(reg::RegEnumValueA(doomed.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            reg::kRegKeyDeleted);
  EXPECT_EQ(reg::RegQueryInfoKeyA(doomed.get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr,
                                  nullptr, nullptr, nullptr, nullptr),
            reg::kRegKeyDeleted);

  // A new key of the same name is another key: the old handle stays dead.
  KeyHandle reborn;
  ASSERT_EQ(reg::RegCreateKeyA(this->test(), "Doomed", reborn.Out()), 0);
  EXPECT_EQ(SetString(doomed.get(), "v", "3"), reg::kRegKeyDeleted);
  EXPECT_EQ(doomed.Close(), 0);
}

TYPED_TEST(RegistryBehaviour, ClosingIsHarmlessForRootsAndRefusedTwice) {
  EXPECT_EQ(reg::RegCloseKey(reg::HKEY_CURRENT_USER), 0);
  EXPECT_EQ(reg::RegCloseKey(reg::HKEY_LOCAL_MACHINE), 0);
  KeyHandle software;
  EXPECT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "Software", software.Out()), 0);

  KeyHandle child;
  ASSERT_EQ(reg::RegCreateKeyA(this->test(), "Child", child.Out()), 0);
  const reg::HKEY stale = child.get();
  EXPECT_EQ(child.Close(), 0);
  EXPECT_EQ(reg::RegCloseKey(stale), reg::kRegInvalidHandle);
  EXPECT_EQ(SetString(stale, "v", "1"), reg::kRegInvalidHandle);
  EXPECT_EQ(reg::RegCloseKey(nullptr), reg::kRegInvalidHandle);
}

TYPED_TEST(RegistryBehaviour, SetValueChecksItsArguments) {
  EXPECT_EQ(reg::RegSetValueExA(this->test(), "v", 1, reg::REG_SZ, nullptr, 0), reg::kRegInvalidParameter);
  EXPECT_EQ(reg::RegSetValueExA(this->test(), "v", 0, reg::REG_BINARY, nullptr, 3),
            reg::kRegInvalidParameter);
  EXPECT_TRUE(this->ValueNames(this->test()).empty());
}

TYPED_TEST(RegistryBehaviour, KeysOpenedBeforeAStoreSwitchStayWithTheirStore) {
  ASSERT_EQ(SetString(this->test(), "where", "first"), 0);
  ActiveStore other(std::make_shared<reg::MemoryRegistry>());
  EXPECT_EQ(GetString(this->test(), "where"), "first");
  KeyHandle elsewhere;
  EXPECT_EQ(reg::RegOpenKeyA(HKEY_CURRENT_USER, "Software\\Test", elsewhere.Out()), reg::kRegNotFound);
}

TYPED_TEST(RegistryBehaviour, ThreadsSharingTheStoreLoseNothing) {
  constexpr int kThreads = 4;
  constexpr int kValues = 10;
  std::vector<std::thread> threads;
  for (int thread = 0; thread < kThreads; ++thread) {
    threads.emplace_back([this, thread] {
      KeyHandle own;
      const std::string path = "T" + std::to_string(thread);
      ASSERT_EQ(reg::RegCreateKeyA(this->test(), path.c_str(), own.Out()), 0);
      for (int i = 0; i < kValues; ++i) {
        const std::string name = path + "_" + std::to_string(i);
        EXPECT_EQ(SetString(this->test(), name.c_str(), name), 0);
        EXPECT_EQ(SetString(own.get(), name.c_str(), name), 0);
      }
    });
  }
  for (std::thread& thread : threads) thread.join();

  std::set<std::string> names;
  for (const std::string& name : this->ValueNames(this->test())) names.insert(name);
  EXPECT_EQ(names.size(), static_cast<size_t>(kThreads * kValues));
  EXPECT_EQ(this->SubKeys(this->test()).size(), static_cast<size_t>(kThreads));
  EXPECT_EQ(GetString(this->test(), "T3_9"), "T3_9");
}

}  // namespace
}  // namespace settingstore::test
