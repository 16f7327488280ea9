#include "base/NamesEnumerator.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "storage/ref.h"

namespace storage {
namespace {

Ref<NamesEnumerator> MakeEnumerator(const std::vector<const char*>& names) {
  Ref<NamesEnumerator> enumerator(new NamesEnumerator);
  for (const char* name : names) enumerator->add(name);
  return enumerator;
}

std::vector<std::string> Walk(INamesEnumerator& enumerator) {
  std::vector<std::string> seen;
  while (enumerator.Next()) seen.emplace_back(enumerator.Current());
  return seen;
}

void ExpectOutOfRange(INamesEnumerator& enumerator) {
  try {
    enumerator.Current();
    ADD_FAILURE() << "Current() did not throw";
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "Out of vector range");
  }
}

TEST(NamesEnumerator, EmptyEnumeratorHasNoCurrentName) {
  auto enumerator = MakeEnumerator({});
  ExpectOutOfRange(*enumerator);
  EXPECT_FALSE(enumerator->Next());
  ExpectOutOfRange(*enumerator);
}

TEST(NamesEnumerator, WalksNamesInAddedOrderWithDuplicatesAndEmptyNames) {
  auto enumerator = MakeEnumerator({"Width", "", "height", "Width"});
  ExpectOutOfRange(*enumerator);  // before the first Next
  EXPECT_EQ(Walk(*enumerator), (std::vector<std::string>{"Width", "", "height", "Width"}));
  EXPECT_THROW(enumerator->add(nullptr), std::invalid_argument);
}

TEST(NamesEnumerator, StaysPastTheEndUntilReset) {
  auto enumerator = MakeEnumerator({"a", "b"});
  EXPECT_EQ(Walk(*enumerator).size(), 2u);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(enumerator->Next());
    ExpectOutOfRange(*enumerator);
  }
  enumerator->Reset();
  ExpectOutOfRange(*enumerator);
  EXPECT_EQ(Walk(*enumerator), (std::vector<std::string>{"a", "b"}));
}

TEST(NamesEnumerator, NamesAreCopiesValidWhileReferenced) {
  std::string name = "Section1";
  INamesEnumerator* enumerator = MakeEnumerator({name.c_str()}).release();
  name = "changed";
  EXPECT_EQ(enumerator->AddRef(), 2);
  EXPECT_EQ(enumerator->Release(), 1);
  ASSERT_TRUE(enumerator->Next());
  const char* first = enumerator->Current();
  EXPECT_STREQ(first, "Section1");
  enumerator->Reset();
  ASSERT_TRUE(enumerator->Next());
  EXPECT_EQ(enumerator->Current(), first);  // the same text, still valid
  EXPECT_EQ(enumerator->Release(), 0);
}

}  // namespace
}  // namespace storage
