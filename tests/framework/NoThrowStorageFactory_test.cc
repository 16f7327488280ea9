#include <gtest/gtest.h>

#include <stdexcept>

#include "api/NoThrowWrappers.h"
#include "base/RefCounted.h"

namespace storage {
namespace {

// Counts live objects so that tests can see every reference was given back.
struct Census {
  int sections = 0;
  int keys = 0;
  int controllers = 0;
  int traits = 0;
  int saves = 0;
};

class FakeKey : public StorageKeyBase {
 public:
  explicit FakeKey(Census* census) : census_(census) { ++census_->keys; }
  ~FakeKey() override { --census_->keys; }
  bool Read(void*, unsigned size) override {
    if (size < 4) throw IOException(-7);
    return true;
  }
  bool Write(Type type, const void*, unsigned) override {
    if (type == TYPE_UNKNOWN) throw IOException(-11);
    return true;
  }
  Type GetType() override { throw std::runtime_error("type lost"); }
  unsigned GetSize() override { return 4; }

 private:
  Census* census_;
};

class FakeSection : public StorageSectionBase {
 public:
  explicit FakeSection(Census* census) : census_(census) { ++census_->sections; }
  ~FakeSection() override { --census_->sections; }
  IStorageKey* OpenKey(const char* name) override {
    if (!name || !*name) throw OpenException(-5);
    return new FakeKey(census_);
  }
  IStorageKey* CreateKey(const char* name) override { return OpenKey(name); }
  IStorageSection* OpenSection(const char* path) override {
    if (std::string(path) == "missing") throw OpenException(-2);
    return new FakeSection(census_);
  }
  IStorageSection* CreateSection(const char*) override { throw AssertException("f", "g", 1, "broken"); }
  bool DeleteSection(const char*) override { throw NotEmptyException(-6); }
  bool DeleteKey(const char*) override { return true; }
  INamesEnumerator* EnumKeys() override { throw BadAllocException("no memory"); }
  INamesEnumerator* EnumSections() override { return nullptr; }

 private:
  Census* census_;
};

class FakeController : public IStorageController, public RefCounted {
 public:
  explicit FakeController(Census* census, bool failing_save = false)
      : census_(census), failing_save_(failing_save) {
    ++census_->controllers;
  }
  ~FakeController() override { --census_->controllers; }
  IStorageSection* GetRoot() override { return new FakeSection(census_); }
  void LoadSuccessful() override {}
  void Save() override {
    ++census_->saves;
    if (failing_save_) throw IOException(-6);
  }

 private:
  Census* census_;
  bool failing_save_;
};

class FakeTraits : public ITraits {
 public:
  explicit FakeTraits(Census* census) : census_(census) { ++census_->traits; }
  const char* GetName() override { return "Fake"; }
  bool IsThreadSafe() override { return true; }
  bool IsInterprocess() override { return false; }
  void Destroy() override {
    --census_->traits;
    delete this;
  }
  StorageType GetType() override { return STORAGE_XML; }

 private:
  Census* census_;
};

TEST(NoThrowStorageFactory, DisposeSavesAndFreesControllerAndTraits) {
  Census census;
  auto* factory = new NoThrowStorageFactory(STORAGE_XML, new FakeController(&census), new FakeTraits(&census));
  EXPECT_STREQ(factory->GetTraits()->GetName(), "Fake");
  factory->Dispose();
  EXPECT_EQ(census.saves, 1);
  EXPECT_EQ(census.controllers, 0);
  EXPECT_EQ(census.traits, 0);
}

TEST(NoThrowStorageFactory, DeletingWithoutDisposeFreesWithoutSaving) {
  Census census;
  delete new NoThrowStorageFactory(STORAGE_XML, new FakeController(&census), new FakeTraits(&census));
  EXPECT_EQ(census.saves, 0);
  EXPECT_EQ(census.controllers, 0);
  EXPECT_EQ(census.traits, 0);
}

TEST(NoThrowStorageFactory, FailedSaveIsRecordedNotThrown) {
  Census census;
  auto* factory = new NoThrowStorageFactory(STORAGE_XML, new FakeController(&census, true), nullptr);
  EXPECT_NO_THROW(factory->Save());
  EXPECT_EQ(factory->GetLastErrorCode(), -6);
  EXPECT_NO_THROW(factory->Dispose());
  EXPECT_EQ(census.controllers, 0);
}

TEST(NoThrowStorageFactory, PlainRootThrowsNoThrowRootRecords) {
  Census census;
  auto* factory = new NoThrowStorageFactory(STORAGE_XML, new FakeController(&census), nullptr);
  {
    Ref<IStorageSection> plain(factory->GetRoot());
    EXPECT_THROW(plain->OpenSection("missing"), OpenException);

    Ref<IStorageSection> root(factory->GetNoThrowRoot());
    EXPECT_EQ(root->OpenSection("missing"), nullptr);
    EXPECT_EQ(factory->GetLastErrorCode(), -2);

    EXPECT_EQ(root->OpenKey(""), nullptr);
    EXPECT_EQ(factory->GetLastErrorCode(), -5);

    EXPECT_FALSE(root->DeleteSection("x"));
    EXPECT_EQ(factory->GetLastErrorCode(), -6);

    EXPECT_EQ(root->CreateSection("x"), nullptr);
    EXPECT_NE(std::string(factory->GetLastMessageDescriptor()).find("broken"), std::string::npos);

    EXPECT_EQ(root->EnumKeys(), nullptr);
    EXPECT_STREQ(factory->GetLastMessageDescriptor(), "no memory");
  }
  factory->Dispose();
  EXPECT_EQ(census.sections, 0);
  EXPECT_EQ(census.keys, 0);
}

TEST(NoThrowStorageFactory, ObjectsReachedFromTheNoThrowRootAreNoThrowToo) {
  Census census;
  auto* factory = new NoThrowStorageFactory(STORAGE_XML, new FakeController(&census), nullptr);
  Ref<IStorageSection> root(factory->GetNoThrowRoot());
  Ref<IStorageSection> child(root->OpenSection("child"));
  ASSERT_TRUE(child);
  EXPECT_EQ(child->OpenSection("missing"), nullptr);
  EXPECT_EQ(factory->GetLastErrorCode(), -2);

  Ref<IStorageKey> key(child->CreateKey("Width"));
  ASSERT_TRUE(key);
  char buffer[2];
  EXPECT_FALSE(key->Read(buffer, sizeof buffer));
  EXPECT_EQ(factory->GetLastErrorCode(), -7);
  EXPECT_FALSE(key->Write(TYPE_UNKNOWN, "", 0));
  EXPECT_EQ(factory->GetLastErrorCode(), -11);
  EXPECT_EQ(key->GetType(), TYPE_UNKNOWN);
  EXPECT_STREQ(factory->GetLastMessageDescriptor(), "type lost");
  EXPECT_EQ(key->GetSize(), 4u);

  factory->Dispose();
  // Wrappers outlive the factory; their record stays valid.
  EXPECT_FALSE(key->Read(buffer, 1));
  key.reset();
  child.reset();
  root.reset();
  EXPECT_EQ(census.sections, 0);
  EXPECT_EQ(census.keys, 0);
}

TEST(NoThrowStorageFactory, HostMaySetTheRecordedError) {
  auto* factory = new NoThrowStorageFactory(STORAGE_XML, nullptr, nullptr);
  factory->SetLastErrorCode(-13);
  factory->SetLastMessageDescriptor("set by host");
  EXPECT_EQ(factory->GetLastErrorCode(), -13);
  EXPECT_STREQ(factory->GetLastMessageDescriptor(), "set by host");
  EXPECT_EQ(factory->GetRoot(), nullptr);
  factory->Dispose();
}

}  // namespace
}  // namespace storage
