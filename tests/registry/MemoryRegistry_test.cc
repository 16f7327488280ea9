// The in-memory store's test controls: injected result codes and call counts.
#include <gtest/gtest.h>

#include "RegistryTestSupport.h"

namespace settingstore::test {
namespace {

using reg::RegOperation;

class MemoryRegistryTest : public ::testing::Test {
 protected:
  std::shared_ptr<reg::MemoryRegistry> store_ = std::make_shared<reg::MemoryRegistry>();
  ActiveStore active_{store_};
};

TEST_F(MemoryRegistryTest, InjectedResultAnswersEveryCallOfThatOperationOnly) {
  KeyHandle software;
  ASSERT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "Software", software.Out()), 0);
  ASSERT_EQ(SetString(software.get(), "v", "before"), 0);
  store_->InjectResult(RegOperation::kQueryValue, reg::kRegMoreData);

  for (int attempt = 0; attempt < 20; ++attempt) {
    EXPECT_EQ(reg::RegQueryValueExA(software.get(), "v", nullptr, nullptr, nullptr, nullptr),
              reg::kRegMoreData);
  }
  EXPECT_EQ(SetString(software.get(), "v", "after"), 0) << "other operations go on";
  store_->ClearInjections();
  EXPECT_EQ(GetString(software.get(), "v"), "after");
}

TEST_F(MemoryRegistryTest, LimitedInjectionRunsOutThenTheStoreAnswers) {
  store_->InjectResult(RegOperation::kCreateKey, reg::kRegAccessDenied, 2);
  KeyHandle key;
  EXPECT_EQ(reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, "Software\\A", key.Out()), reg::kRegAccessDenied);
  EXPECT_EQ(reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, "Software\\A", key.Out()), reg::kRegAccessDenied);
  EXPECT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "Software\\A", key.Out()), reg::kRegNotFound)
      << "an injected answer changes nothing";
  EXPECT_EQ(reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, "Software\\A", key.Out()), 0);
}

TEST_F(MemoryRegistryTest, InjectedSetValueLeavesTheOldValue) {
  KeyHandle key;
  ASSERT_EQ(reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, "Software\\A", key.Out()), 0);
  ASSERT_EQ(SetString(key.get(), "v", "kept"), 0);
  store_->InjectResult(RegOperation::kSetValue, 1016, 1);
  EXPECT_EQ(SetString(key.get(), "v", "lost"), 1016);
  EXPECT_EQ(GetString(key.get(), "v"), "kept");
}

TEST_F(MemoryRegistryTest, CountsCallsPerOperationInjectedOnesIncluded) {
  KeyHandle key;
  ASSERT_EQ(reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, "Software\\A", key.Out()), 0);
  store_->ResetCallCounts();
  store_->InjectResult(RegOperation::kEnumValue, reg::kRegMoreData, 3);
  char name[8];
  for (int call = 0; call < 5; ++call) {
    reg::DWORD length = sizeof name;
    reg::RegEnumValueA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr);
  }
  EXPECT_EQ(store_->CallCount(RegOperation::kEnumValue), 5u);
  EXPECT_EQ(store_->CallCount(RegOperation::kEnumKey), 0u);
  EXPECT_EQ(store_->CallCount(RegOperation::kCreateKey), 0u);
  reg::DWORD length = sizeof name;
  EXPECT_EQ(reg::RegEnumValueA(key.get(), 0, name, &length, nullptr, nullptr, nullptr, nullptr),
            reg::kRegNoMoreItems);
}

}  // namespace
}  // namespace settingstore::test
