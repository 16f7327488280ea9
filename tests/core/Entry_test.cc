#include <gtest/gtest.h>

#include <string>

#include "ProcessValues.h"
#include "storage/storage.h"

namespace storage {
namespace {

class LocationInitializer : public IStorageInitializer {
 public:
  LocationInitializer(const char* path, const char* default_path) : path_(path), default_path_(default_path) {}
  const char* GetPath() override { return path_; }
  const char* GetDefaultPath() override { return default_path_; }
  void OnLoadBegin() override {}
  void OnLoadSucceeded() override {}
  void OnLoadFailed() override {}
  bool RetryLoad() override { return false; }
  StorageCheckFunction GetCheckFunction() override { return nullptr; }

 private:
  const char* path_;
  const char* default_path_;
};

class EntryTest : public ::testing::Test {
 protected:
  void TearDown() override {
    XmlStorageDirectory() = ".";
    XmlDefaultDirectory() = ".";
  }
};

TEST_F(EntryTest, ProcessValuesStartAtTheirDefaults) {
  EXPECT_EQ(XmlStorageDirectory(), ".");
  EXPECT_EQ(XmlDefaultDirectory(), ".");
  EXPECT_EQ(XmlSettingsFileName(), ".storage");
  EXPECT_TRUE(GetSpinCount() == 1u || GetSpinCount() == 10000u);
}

TEST_F(EntryTest, XmlInitializationStoresItsLocationsFirst) {
  LocationInitializer init("/data/settings", nullptr);
  try {
    NoThrowStorageFactory* factory = InitializeStorage(STORAGE_XML, &init);
    if (factory) factory->Dispose();
  } catch (const TechnicalException&) {
    // A backend that cannot load still leaves the locations set.
  }
  EXPECT_EQ(XmlStorageDirectory(), "/data/settings");
  EXPECT_EQ(XmlDefaultDirectory(), "");
}

TEST_F(EntryTest, AMissingInitializerIsRefusedClearly) {
  EXPECT_THROW(InitializeStorage(STORAGE_SHARED_DOM, nullptr), TechnicalException);
  EXPECT_EQ(InitializeStorage(static_cast<StorageType>(3), nullptr), nullptr);
}

}  // namespace
}  // namespace storage
