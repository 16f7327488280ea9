#include <gtest/gtest.h>

#include <string>

#include "storage/storage.h"

namespace storage {
namespace {

TEST(EntryTest, AMissingInitializerIsRefusedClearly) {
  EXPECT_THROW(InitializeStorage(STORAGE_SHARED_DOM, nullptr), TechnicalException);
  EXPECT_EQ(InitializeStorage(static_cast<StorageType>(3), nullptr), nullptr);
}

}  // namespace
}  // namespace storage
