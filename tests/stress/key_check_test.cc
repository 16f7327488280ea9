// Reading a key through the public API and checking names, on an in-memory
// XML tree: good values pass, another key's value, a damaged value and a
// duplicate name are each reported as a failure.
#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <vector>

#include "KeyCheck.h"
#include "Workload.h"
#include "support/TempDirectory.h"

namespace stress {
namespace {

using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;

class KeyCheckTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char text[] = "<storage/>";
    root_.reset(storage::GetXmlStorage(text, sizeof text - 1));
    ASSERT_TRUE(root_);
  }

  Ref<IStorageKey> KeyWith(const std::string& name, const EncodedValue& value) {
    Ref<IStorageKey> key(root_->CreateKey(name.c_str()));
    key->Write(value.type, value.bytes.data(), static_cast<unsigned>(value.bytes.size()));
    return key;
  }

  settingstore::test::TempDirectory directory_;
  Board board_ = Board::Create(directory_.File("heartbeat"));
  std::atomic<uint64_t> failures_{0};
  std::vector<std::string> reported_;
  Outcome outcome_{board_, 0, 0, failures_, [this](const std::string& line) { reported_.push_back(line); },
                   -6};
  Ref<IStorageSection> root_;
};

TEST_F(KeyCheckTest, ValuesOfEveryTypeReadBackChecked) {
  for (storage::Type type :
       {storage::TYPE_STRING, storage::TYPE_MULTI_STRING, storage::TYPE_BINARY, storage::TYPE_INTEGER}) {
    Ref<IStorageKey> key = KeyWith("k1", Encode(type, Stamp{"top/k1", 3, 1, 17}, 5, 30));
    const KeyReading reading = ReadKey(*key, "top", "k1", outcome_, true);
    ASSERT_EQ(reading.result, KeyReading::kChecked) << "type " << type;
    if (type != storage::TYPE_INTEGER) {
      EXPECT_EQ(reading.stamp->sequence, 17u);
    }
  }
  EXPECT_EQ(failures_.load(), 0u);
}

TEST_F(KeyCheckTest, AValueOfAnotherKeyIsAFailure) {
  Ref<IStorageKey> key = KeyWith("k1", Encode(storage::TYPE_STRING, Stamp{"top/k2", 3, 1, 17}, 5, 30));
  EXPECT_EQ(ReadKey(*key, "top", "k1", outcome_, false).result, KeyReading::kFailed);
  EXPECT_EQ(failures_.load(), 1u);
  EXPECT_EQ(board_.SlotCounters(0).failures, 1u);
  ASSERT_EQ(reported_.size(), 1u);
  EXPECT_EQ(reported_[0].rfind("fail thread 0: value read from top/k1", 0), 0u) << reported_[0];
  EXPECT_NE(reported_[0].find("value of top/k2 found in top/k1"), std::string::npos) << reported_[0];
}

TEST_F(KeyCheckTest, ADamagedValueIsAFailure) {
  EncodedValue value = Encode(storage::TYPE_BINARY, Stamp{"top/k1", 3, 1, 17}, 5, 30);
  value.bytes[10] ^= 0x40;
  Ref<IStorageKey> key = KeyWith("k1", value);
  EXPECT_EQ(ReadKey(*key, "top", "k1", outcome_, false).result, KeyReading::kFailed);
  EXPECT_EQ(failures_.load(), 1u);
}

TEST_F(KeyCheckTest, AnUnwrittenKeyIsLegitimateOnlyWhenOthersWrite) {
  Ref<IStorageKey> key(root_->CreateKey("fresh"));
  EXPECT_EQ(ReadKey(*key, "top", "fresh", outcome_, false).result, KeyReading::kUnwritten);
  EXPECT_EQ(failures_.load(), 0u);
  EXPECT_NE(ReadKey(*key, "top", "fresh", outcome_, true).result, KeyReading::kChecked);
  EXPECT_EQ(failures_.load(), 1u);
}

TEST_F(KeyCheckTest, OnlyAMissingNameOnOpenCountsAsNotFound) {
  // The XML backend says -6 where the shared DOM says -2: an open of a
  // missing name counts as -2, a refused delete stays -6.
  EXPECT_FALSE(outcome_.Attempt(OpKind::kOpenSection, "none", "", {-2},
                                [&] { Ref<IStorageSection>(root_->OpenSection("none")); }));
  EXPECT_EQ(board_.SlotCounters(0).expected[*ExpectedCodeIndex(-2)], 1u);
  Ref<IStorageSection>(root_->CreateSection("full/inner"));
  EXPECT_FALSE(
      outcome_.Attempt(OpKind::kDeleteSection, "full", "", {-2}, [&] { root_->DeleteSection("full"); }));
  EXPECT_EQ(failures_.load(), 1u);
  ASSERT_EQ(reported_.size(), 1u);
  EXPECT_NE(reported_[0].find("DeleteSection full threw NotEmptyException -6"), std::string::npos)
      << reported_[0];
}

TEST_F(KeyCheckTest, ForeignExceptionsAreFailuresWithTheirText) {
  EXPECT_FALSE(outcome_.Attempt(OpKind::kWrite, "s1", "k1", {-1, -2, -6},
                                [] { throw storage::TechnicalException("hive gone"); }));
  EXPECT_FALSE(outcome_.Attempt(OpKind::kRead, "s1", "k1", {-1}, [] { throw std::runtime_error("boom"); }));
  EXPECT_EQ(failures_.load(), 2u);
  ASSERT_EQ(reported_.size(), 2u);
  EXPECT_NE(reported_[0].find("Write s1 key k1 threw a technical exception: hive gone"), std::string::npos);
  EXPECT_NE(reported_[1].find("Read s1 key k1 threw boom"), std::string::npos);
}

TEST_F(KeyCheckTest, ExpectedErrorsAreCountedOthersFail) {
  EXPECT_FALSE(outcome_.Attempt(OpKind::kOpenKey, "top", "none", {-2},
                                [&] { Ref<IStorageKey>(root_->OpenKey("none")); }));
  EXPECT_EQ(board_.SlotCounters(0).expected[*ExpectedCodeIndex(-2)], 1u);
  EXPECT_EQ(failures_.load(), 0u);
  EXPECT_FALSE(outcome_.Attempt(OpKind::kOpenKey, "top", "none", {},
                                [&] { Ref<IStorageKey>(root_->OpenKey("none")); }));
  EXPECT_EQ(failures_.load(), 1u);
  EXPECT_TRUE(outcome_.Attempt(OpKind::kCreateKey, "top", "k9", {},
                               [&] { Ref<IStorageKey>(root_->CreateKey("k9")); }));
  EXPECT_EQ(board_.SlotCounters(0).operations[static_cast<size_t>(OpKind::kOpenKey)], 2u);
}

class FixedNames : public storage::INamesEnumerator {
 public:
  explicit FixedNames(std::vector<std::string> names) : names_(std::move(names)) {}
  long AddRef() override { return 1; }
  long Release() override { return 1; }
  void Reset() override { at_ = 0; }
  bool Next() override { return ++at_ <= names_.size(); }
  const char* Current() override { return names_[at_ - 1].c_str(); }

 private:
  std::vector<std::string> names_;
  size_t at_ = 0;
};

TEST_F(KeyCheckTest, DuplicateNamesDifferingInCaseAreAFailure) {
  FixedNames clean({"s0", "s1", "s2"});
  EXPECT_EQ(CollectNames(clean, "", "sections", outcome_).size(), 3u);
  EXPECT_EQ(failures_.load(), 0u);
  FixedNames twice({"k1", "k2", "K1"});
  EXPECT_EQ(CollectNames(twice, "s0", "keys", outcome_).size(), 3u);
  EXPECT_EQ(failures_.load(), 1u);
}

TEST(Workload, NamesItMakesAreTheNamesItKnows) {
  EXPECT_TRUE(KnownKeyName(SharedKey(0)));
  EXPECT_TRUE(KnownKeyName(SharedKey(kSharedKeys - 1)));
  EXPECT_FALSE(KnownKeyName(SharedKey(kSharedKeys)));
  EXPECT_TRUE(KnownKeyName(OwnedKey(123, 4, 3)));
  EXPECT_FALSE(KnownKeyName("key"));
  EXPECT_FALSE(KnownKeyName("k+1"));
  EXPECT_FALSE(KnownKeyName("o1-2"));
  EXPECT_FALSE(KnownKeyName("o1--2-3"));
  EXPECT_FALSE(KnownKeyName("o1-2-3-"));
  EXPECT_FALSE(KnownKeyName("3f"));
  EXPECT_TRUE(KnownSectionName("s7", 1, 8));
  EXPECT_FALSE(KnownSectionName("s8", 1, 8));
  EXPECT_FALSE(KnownSectionName("s", 1, 8));
  EXPECT_FALSE(KnownSectionName("s1x", 1, 8));
  EXPECT_FALSE(KnownSectionName("sub1", 1, 8));
  EXPECT_TRUE(KnownSectionName("sub1", 2, 8));
  EXPECT_FALSE(KnownSectionName("sub1", 3, 8));
  EXPECT_EQ(SubSection(2, 3), "s2/sub3");
  const std::string place = OwnedPlace(9, 1, 2, 8);
  EXPECT_TRUE(KnownSectionName(place, 1, 8));
}

}  // namespace
}  // namespace stress
