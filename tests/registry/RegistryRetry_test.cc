// The retry protocol of the registry backend, driven by result codes that the
// in-memory store is told to answer.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "registry/RegistryBackendSupport.h"

namespace settingstore::test {
namespace {

using namespace storage;
using reg::RegOperation;

constexpr reg::LSTATUS kMoreData = reg::kRegMoreData;
constexpr unsigned kAttempts = 12;

class RegistryRetryTest : public ::testing::Test {
 protected:
  RegistryRetryTest() : store_(StoreKind::kMemory) {}

  void SetUp() override {
    Ref<IStorageSection> software(GetRegStorage("HKCU\\Software"));
    section_.reset(software->CreateSection("RetryTest"));
    Ref<IStorageSection> child(section_->CreateSection("Empty"));
    WriteString(*section_, "Value", "abc");
  }

  IStorageSection& section() { return *section_; }
  reg::MemoryRegistry& memory() { return *store_.memory(); }

  // Calls of `operation` that `call` makes while the store answers `result`
  // to every one of them.
  unsigned CallsWhileAnswering(RegOperation operation, reg::LSTATUS result,
                               const std::function<void()>& call) {
    memory().ResetCallCounts();
    memory().InjectResult(operation, result);
    call();
    memory().ClearInjections();
    return memory().CallCount(operation);
  }

 private:
  StoreScope store_;
  Ref<IStorageSection> section_;
};

TEST_F(RegistryRetryTest, AnOperationThatKeepsAnswering234FailsAfterTwelveAttempts) {
  const auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(CallsWhileAnswering(RegOperation::kQueryValue, kMoreData,
                                [&] { EXPECT_STORAGE_ERROR(section().OpenKey("Value"), OpenException, -6); }),
            kAttempts);
  // Eleven repeats, each after a sleep of a millisecond.
  EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(11));

  // The counter is back at 0: the next chain gets every attempt again.
  EXPECT_EQ(CallsWhileAnswering(RegOperation::kQueryValue, kMoreData,
                                [&] { EXPECT_STORAGE_ERROR(section().OpenKey("Value"), OpenException, -6); }),
            kAttempts);
}

TEST_F(RegistryRetryTest, TheTwelfthAttemptMaySucceed) {
  memory().ResetCallCounts();
  memory().InjectResult(RegOperation::kQueryValue, kMoreData, kAttempts - 1);
  Ref<IStorageKey> key(section().OpenKey("Value"));
  EXPECT_EQ(memory().CallCount(RegOperation::kQueryValue), kAttempts);

  memory().ResetCallCounts();
  memory().InjectResult(RegOperation::kSetValue, kMoreData, 3);
  EXPECT_TRUE(key->Write(TYPE_STRING, "xyz", 4));
  EXPECT_EQ(memory().CallCount(RegOperation::kSetValue), 4u);
  EXPECT_EQ(ReadString(section(), "Value"), "xyz");
}

TEST_F(RegistryRetryTest, EveryRetriedOperationGivesUpWithItsOwnClass) {
  Ref<IStorageKey> key(section().OpenKey("Value"));
  char buffer[8];
  struct Case {
    const char* what;
    RegOperation operation;
    std::function<void()> call;
  };
  const std::vector<Case> cases = {
      {"CreateKey", RegOperation::kQueryValue,
       [&] { EXPECT_STORAGE_ERROR(section().CreateKey("New"), CreateException, -6); }},
      {"OpenSection", RegOperation::kOpenKey,
       [&] { EXPECT_STORAGE_ERROR(section().OpenSection("Empty"), OpenException, -6); }},
      {"CreateSection", RegOperation::kCreateKey,
       [&] { EXPECT_STORAGE_ERROR(section().CreateSection("New"), CreateException, -6); }},
      {"DeleteSection open", RegOperation::kOpenKey,
       [&] { EXPECT_STORAGE_ERROR(section().DeleteSection("Empty"), DeleteException, -6); }},
      {"DeleteSection count", RegOperation::kQueryInfoKey,
       [&] { EXPECT_STORAGE_ERROR(section().DeleteSection("Empty"), DeleteException, -6); }},
      {"DeleteSection delete", RegOperation::kDeleteKey,
       [&] { EXPECT_STORAGE_ERROR(section().DeleteSection("Empty"), DeleteException, -6); }},
      {"DeleteKey test", RegOperation::kQueryValue,
       [&] { EXPECT_STORAGE_ERROR(section().DeleteKey("Value"), DeleteException, -6); }},
      {"DeleteKey delete", RegOperation::kDeleteValue,
       [&] { EXPECT_STORAGE_ERROR(section().DeleteKey("Value"), DeleteException, -6); }},
      {"EnumKeys info", RegOperation::kQueryInfoKey,
       [&] { EXPECT_STORAGE_ERROR(section().EnumKeys(), IOException, -6); }},
      {"EnumKeys walk", RegOperation::kEnumValue,
       [&] { EXPECT_STORAGE_ERROR(section().EnumKeys(), IOException, -6); }},
      {"EnumSections info", RegOperation::kQueryInfoKey,
       [&] { EXPECT_STORAGE_ERROR(section().EnumSections(), IOException, -6); }},
      {"EnumSections walk", RegOperation::kEnumKey,
       [&] { EXPECT_STORAGE_ERROR(section().EnumSections(), IOException, -6); }},
      {"Read", RegOperation::kQueryValue,
       [&] { EXPECT_STORAGE_ERROR(key->Read(buffer, sizeof buffer), IOException, -6); }},
      {"Write", RegOperation::kSetValue,
       [&] { EXPECT_STORAGE_ERROR(key->Write(TYPE_STRING, "a", 2), IOException, -6); }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(CallsWhileAnswering(c.operation, kMoreData, c.call), kAttempts);
  }
  // Nothing was changed by the failed chains.
  EXPECT_EQ(ReadString(section(), "Value"), "abc");
  EXPECT_EQ(Names(section().EnumSections()), std::vector<std::string>{"Empty"});
}

TEST_F(RegistryRetryTest, OtherFailuresAreNotRetried) {
  EXPECT_EQ(
      CallsWhileAnswering(RegOperation::kOpenKey, reg::kRegNotFound,
                          [&] { EXPECT_STORAGE_ERROR(section().OpenSection("Empty"), OpenException, -2); }),
      1u);
  EXPECT_EQ(
      CallsWhileAnswering(RegOperation::kOpenKey, reg::kRegAccessDenied,
                          [&] { EXPECT_STORAGE_ERROR(section().OpenSection("Empty"), OpenException, -6); }),
      1u);
  // A missing value is no failure for CreateKey; any other answer is -6.
  EXPECT_EQ(CallsWhileAnswering(RegOperation::kQueryValue, reg::kRegNotFound,
                                [&] { Ref<IStorageKey> key(section().CreateKey("Value")); }),
            1u);
  EXPECT_EQ(
      CallsWhileAnswering(RegOperation::kQueryValue, reg::kRegIoFailed,
                          [&] { EXPECT_STORAGE_ERROR(section().CreateKey("New"), CreateException, -6); }),
      1u);
}

TEST_F(RegistryRetryTest, TypeAndSizeQueriesAskOnlyOnce) {
  Ref<IStorageKey> key(section().OpenKey("Value"));
  EXPECT_EQ(CallsWhileAnswering(RegOperation::kQueryValue, kMoreData,
                                [&] { EXPECT_STORAGE_ERROR(key->GetType(), IOException, -6); }),
            1u);
  EXPECT_EQ(CallsWhileAnswering(RegOperation::kQueryValue, kMoreData,
                                [&] { EXPECT_STORAGE_ERROR(key->GetSize(), IOException, -6); }),
            1u);
}

TEST_F(RegistryRetryTest, AReadIntoATooSmallBufferFailsAfterTheRetries) {
  Ref<IStorageKey> key(section().OpenKey("Value"));
  char small[2] = {'#', '#'};
  memory().ResetCallCounts();
  EXPECT_STORAGE_ERROR(key->Read(small, sizeof small), IOException, -6);
  EXPECT_EQ(memory().CallCount(RegOperation::kQueryValue), kAttempts);
  EXPECT_EQ(std::string(small, 2), "##");
}

TEST_F(RegistryRetryTest, AnEnumerationThatWasDisturbedStartsAgainAndListsEachNameOnce) {
  WriteString(section(), "Second", "2");
  memory().ResetCallCounts();
  memory().InjectResult(RegOperation::kEnumValue, kMoreData, 2);
  EXPECT_EQ(Names(section().EnumKeys()), (std::vector<std::string>{"Value", "Second"}));
}

TEST_F(RegistryRetryTest, ChainsOfTwoThreadsOnOneObjectRunOneAfterTheOther) {
  Ref<IStorageKey> key(section().OpenKey("Value"));
  memory().ResetCallCounts();
  memory().InjectResult(RegOperation::kSetValue, kMoreData);
  auto write = [&] {
    try {
      key->Write(TYPE_STRING, "t", 2);
    } catch (const IOException& e) {
      return e.GetErrorCode();
    }
    return 0;
  };
  auto other = std::async(std::launch::async, write);
  EXPECT_EQ(write(), -6);
  EXPECT_EQ(other.get(), -6);
  // Each chain had its twelve attempts: neither cut the other's short.
  EXPECT_EQ(memory().CallCount(RegOperation::kSetValue), 2 * kAttempts);

  // Whether a chain of this thread failed (above) or succeeded (here), it
  // leaves the retry lock free: a chain on another thread completes while
  // this thread still runs.
  memory().ClearInjections();
  memory().InjectResult(RegOperation::kSetValue, kMoreData, 1);
  EXPECT_TRUE(key->Write(TYPE_STRING, "mine", 5));
  memory().InjectResult(RegOperation::kSetValue, kMoreData, 1);
  auto after = std::async(std::launch::async, [&] { return key->Write(TYPE_STRING, "ok", 3); });
  ASSERT_EQ(after.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(after.get());
  EXPECT_EQ(ReadString(section(), "Value"), "ok");
}

}  // namespace
}  // namespace settingstore::test
