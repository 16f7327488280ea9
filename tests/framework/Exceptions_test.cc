#include <gtest/gtest.h>

#include <set>
#include <string>

#include "base/Exceptions.h"

namespace storage {
namespace {

TEST(Exceptions, EveryKnownCodeHasItsOwnText) {
  std::set<std::string> texts;
  for (int32_t code : {-1, -2, -3, -4, -5, -6, -7, -10, -11, -13, -14}) {
    Exception e(code);
    EXPECT_EQ(e.GetErrorCode(), code);
    std::string text = e.GetErrorString();
    EXPECT_FALSE(text.empty());
    EXPECT_EQ(text.find("unknown"), std::string::npos) << code;
    texts.insert(text);
  }
  EXPECT_EQ(texts.size(), 11u);
  EXPECT_STREQ(Exception(-2).GetErrorString(), "the item does not exist");
  EXPECT_STREQ(Exception(-7).GetErrorString(), "the buffer is too small");
}

TEST(Exceptions, UnknownCodesNameTheirNumber) {
  EXPECT_STREQ(Exception(-8).GetErrorString(), "unknown storage error -8");
  EXPECT_STREQ(Exception(42).GetErrorString(), "unknown storage error 42");
}

TEST(Exceptions, FamilyIsCaughtThroughItsBases) {
  try {
    throw NotEmptyException(-6);
  } catch (const DeleteException& e) {
    EXPECT_EQ(e.GetErrorCode(), -6);
  }
  try {
    throw MarkToDeleteException(-1);
  } catch (const IOException& e) {
    EXPECT_EQ(e.GetErrorCode(), -1);
  }
  try {
    throw OpenException(-2);
  } catch (const Exception& e) {
    EXPECT_EQ(e.GetErrorCode(), -2);
  }
}

TEST(Exceptions, TechnicalKindsCarryTheirDetails) {
  EXPECT_STREQ(BadAllocException("Not enough memory to load next hive").what(),
               "Not enough memory to load next hive");
  ExternalException external(5);
  EXPECT_EQ(external.GetCode(), 5);
  EXPECT_NE(std::string(external.what()).find('5'), std::string::npos);
  std::string located = InternalStructureException("Utils\\PageManager", "storage::PageManager::Load", 12,
                                                   "Next hive not found")
                            .what();
  EXPECT_NE(located.find("Utils\\PageManager:12"), std::string::npos);
  EXPECT_NE(located.find("Next hive not found"), std::string::npos);
  try {
    throw ChecksumException();
  } catch (const TechnicalException& e) {
    EXPECT_GT(std::string(e.what()).size(), 0u);
  }
}

TEST(Exceptions, AssertExceptionKeepsWhereAndWhy) {
  AssertException with("Utils\\OwnerUtil", "storage::owner::GlobalMutex::Unlock", 77,
                       "GlobalMutex::Unlock failed. GetLastError: 5");
  EXPECT_EQ(with.File(), "Utils\\OwnerUtil");
  EXPECT_EQ(with.Line(), 77);
  EXPECT_TRUE(with.HasMessage());
  std::string text = with.What();
  EXPECT_NE(text.find("storage::owner::GlobalMutex::Unlock"), std::string::npos);
  EXPECT_NE(text.find("GetLastError: 5"), std::string::npos);

  AssertException without("Utils\\OwnerUtil", "storage::owner::TLSSignleton::GetValue", 3, nullptr);
  EXPECT_FALSE(without.HasMessage());
  EXPECT_TRUE(without.What().ends_with("storage::owner::TLSSignleton::GetValue")) << without.What();
}

TEST(Exceptions, AssertMacroThrowsOnlyWhenTheConditionFails) {
  EXPECT_NO_THROW(STORAGE_ASSERT(1 + 1 == 2, "Utils\\OwnerUtil", "f", nullptr));
  EXPECT_THROW(STORAGE_ASSERT(false, "Utils\\OwnerUtil", "f", "boom"), AssertException);
}

}  // namespace
}  // namespace storage
