// What a host sees when it includes storage/storage.h alone and links the
// shared library.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "storage/storage.h"

namespace {

using namespace storage;

// Records every call the library makes on it.
class RecordingInitializer : public IStorageInitializer {
 public:
  std::vector<std::string> calls;
  const char* GetPath() override { return Record("GetPath", nullptr); }
  const char* GetDefaultPath() override { return Record("GetDefaultPath", nullptr); }
  void OnLoadBegin() override { Record("OnLoadBegin", 0); }
  void OnLoadSucceeded() override { Record("OnLoadSucceeded", 0); }
  void OnLoadFailed() override { Record("OnLoadFailed", 0); }
  bool RetryLoad() override { return Record("RetryLoad", false); }
  StorageCheckFunction GetCheckFunction() override { return Record<StorageCheckFunction>("GetCheckFunction", nullptr); }

 private:
  template <class T>
  T Record(const char* name, T result) {
    calls.emplace_back(name);
    return result;
  }
};

TEST(HostEntryPoints, VersionIsOneConstantString) {
  const char* first = GetStotageVersion();
  EXPECT_STREQ(first, "1.1");
  EXPECT_EQ(GetStotageVersion(), first);
}

TEST(HostEntryPoints, UnknownStorageTypesAreRefusedKnownOnesDeinitialize) {
  RecordingInitializer init;
  for (int type : {3, 7, -1, 1000}) {
    EXPECT_EQ(InitializeStorage(static_cast<StorageType>(type), &init), nullptr) << type;
    EXPECT_FALSE(DeinitializeStorage(static_cast<StorageType>(type))) << type;
  }
  EXPECT_TRUE(init.calls.empty());
  EXPECT_TRUE(DeinitializeStorage(STORAGE_REGISTRY));
  EXPECT_TRUE(DeinitializeStorage(STORAGE_XML));
}

TEST(HostEntryPoints, RegistryTypesTranslateBothWays) {
  EXPECT_EQ(GetRegType(TYPE_STRING), 1ul);
  EXPECT_EQ(GetRegType(TYPE_MULTI_STRING), 7ul);
  EXPECT_EQ(GetRegType(TYPE_UNKNOWN), 0xFFFFFFFFul);
  EXPECT_EQ(GetRegType(static_cast<Type>(5)), 0xFFFFFFFFul);
  EXPECT_EQ(GetRegType(4ul), TYPE_INTEGER);
  EXPECT_EQ(GetRegType(3ul), TYPE_BINARY);
  EXPECT_EQ(GetRegType(2ul), TYPE_UNKNOWN);
}

// Deletes itself when its last reference goes, as the library's objects do.
template <class Interface>
struct Counted : Interface {
  long AddRef() override { return ++refs; }
  long Release() override {
    long left = --refs;
    if (left == 0) delete this;
    return left;
  }
  long refs = 1;
};

// A host-made section that fails the way a backend does.
class FailingSection : public Counted<IStorageSection> {
 public:
  IStorageKey* OpenKey(const char*) override { throw OpenException(-2); }
  IStorageKey* CreateKey(const char*) override { throw TechnicalException("disk on fire"); }
  IStorageSection* OpenSection(const char*) override { return nullptr; }
  IStorageSection* CreateSection(const char*) override { return nullptr; }
  bool DeleteSection(const char*) override { throw NotEmptyException(-6); }
  bool DeleteKey(const char*) override { return true; }
  INamesEnumerator* EnumKeys() override { return nullptr; }
  INamesEnumerator* EnumSections() override { return nullptr; }
};

class OneSectionController : public Counted<IStorageController> {
 public:
  explicit OneSectionController(int* saves) : saves_(saves) {}
  IStorageSection* GetRoot() override { return new FailingSection; }
  void LoadSuccessful() override {}
  void Save() override { ++*saves_; }

 private:
  int* saves_;
};

TEST(HostFactory, NoThrowRootRecordsErrorsThrownAcrossTheLibraryBoundary) {
  int saves = 0;
  auto* factory = new NoThrowStorageFactory(STORAGE_XML, new OneSectionController(&saves), nullptr);
  Ref<IStorageSection> root(factory->GetNoThrowRoot());
  ASSERT_TRUE(root);

  EXPECT_EQ(root->OpenKey("Width"), nullptr);
  EXPECT_EQ(factory->GetLastErrorCode(), -2);
  EXPECT_STREQ(factory->GetLastMessageDescriptor(), Exception(-2).GetErrorString());

  EXPECT_FALSE(root->DeleteSection("child"));
  EXPECT_EQ(factory->GetLastErrorCode(), -6);

  EXPECT_EQ(root->CreateKey("Height"), nullptr);
  EXPECT_EQ(factory->GetLastErrorCode(), -6);
  EXPECT_STREQ(factory->GetLastMessageDescriptor(), "disk on fire");

  factory->Dispose();
  EXPECT_EQ(saves, 1);
  // The no-throw root outlives its factory and keeps working.
  EXPECT_TRUE(root->DeleteKey("Width"));
}

TEST(HostRef, HoldsExactlyOneReference) {
  auto* section = new FailingSection;
  {
    Ref<IStorageSection> first(section);
    EXPECT_EQ(section->refs, 1);
    Ref<IStorageSection> second = first;
    EXPECT_EQ(section->refs, 2);
    Ref<IStorageSection> moved = std::move(second);
    EXPECT_FALSE(second);
    EXPECT_EQ(section->refs, 2);
    IStorageSection* raw = moved.release();
    EXPECT_EQ(section->refs, 2);
    raw->Release();
    EXPECT_EQ(section->refs, 1);
  }
  // The last holder released it: the section deleted itself (ASan checks).
}

}  // namespace
