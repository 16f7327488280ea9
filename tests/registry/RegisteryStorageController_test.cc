// Registry paths given as text, the controller that InitializeStorage(0)
// builds, and GetRegStorage.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registry/RegistryBackendSupport.h"
#include "registry/RegistryRoot.h"

namespace settingstore::test {
namespace {

using namespace storage;
using reg::HKEY;
using Strings = std::vector<std::string>;

TEST(ParseRegistryRoot, AcceptsEveryRootNameFollowedByOneSeparator) {
  struct Case {
    const char* path;
    HKEY root;
    const char* rest;
  };
  const Case cases[] = {
      {"HKCU", reg::HKEY_CURRENT_USER, ""},
      {"HKCU Software", reg::HKEY_CURRENT_USER, "Software"},
      {"HKCU/Software/Example", reg::HKEY_CURRENT_USER, "Software/Example"},
      {"HKEY_CURRENT_USER\\Software", reg::HKEY_CURRENT_USER, "Software"},
      {"HKLM\\Software", reg::HKEY_LOCAL_MACHINE, "Software"},
      {"HKEY_LOCAL_MACHINE", reg::HKEY_LOCAL_MACHINE, ""},
      {"HKCR\\.txt", reg::HKEY_CLASSES_ROOT, ".txt"},
      {"HKEY_CLASSES_ROOT ", reg::HKEY_CLASSES_ROOT, ""},
      // Only one separator is skipped.
      {"HKCU\\\\Software", reg::HKEY_CURRENT_USER, "\\Software"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    HKEY root = nullptr;
    EXPECT_STREQ(ParseRegistryRoot(c.path, root), c.rest);
    EXPECT_EQ(root, c.root);
  }
}

class GetRegStorageTest : public RegistryBackendTest {};

TEST_P(GetRegStorageTest, OpensRootsAndExistingKeysButCreatesNothing) {
  WriteString(section(), "Name", "value");

  Ref<IStorageSection> root(GetRegStorage("HKCU"));
  const Strings rootSections = Names(root->EnumSections());
  EXPECT_NE(std::find(rootSections.begin(), rootSections.end(), "Software"), rootSections.end());

  for (const char* path : {"HKCU Software\\RegistryBackendTest", "HKCU/Software\\RegistryBackendTest",
                           "HKEY_CURRENT_USER\\software\\registrybackendtest"}) {
    SCOPED_TRACE(path);
    Ref<IStorageSection> opened(GetRegStorage(path));
    EXPECT_EQ(ReadString(*opened, "Name"), "value");
  }
  Ref<IStorageSection> machine(GetRegStorage("HKLM\\Software"));
  EXPECT_TRUE(Names(machine->EnumKeys()).empty());

  EXPECT_STORAGE_ERROR(GetRegStorage("HKCU\\Software\\Missing"), OpenException, -2);
  EXPECT_STORAGE_ERROR(GetRegStorage("HKCU\\Software\\Missing\\Deeper"), OpenException, -2);
  Ref<IStorageSection> software(GetRegStorage("HKCU\\Software"));
  EXPECT_EQ(Names(software->EnumSections()), Strings{"RegistryBackendTest"});
}

TEST_P(GetRegStorageTest, RefusesUnknownRootsAndANullPathWithoutReading) {
  for (const char* path : {"hkcu\\Software", "Hkcu", "HKLMSoftware", "HKLMx", "HKC", "", " HKCU", "HKCU_X",
                           "HKEY_CURRENT_USERS", "HKU\\x", static_cast<const char*>(nullptr)}) {
    SCOPED_TRACE(path ? path : "(null)");
    EXPECT_STORAGE_ERROR(GetRegStorage(path), Exception, -2);
  }
  // An empty level after a doubled separator is not a key name.
  EXPECT_STORAGE_ERROR(GetRegStorage("HKCU\\\\Software"), OpenException, -6);
}

INSTANTIATE_TEST_SUITE_P(Stores, GetRegStorageTest, ::testing::Values(StoreKind::kMemory, StoreKind::kSqlite),
                         StoreName);

// Records what the controller asks of the host, in order.
class RecordingInitializer : public IStorageInitializer {
 public:
  explicit RecordingInitializer(const char* path, StorageCheckFunction check = nullptr)
      : path_(path), check_(check) {}
  const char* GetPath() override { return path_; }
  const char* GetDefaultPath() override {
    calls.emplace_back("GetDefaultPath");
    return nullptr;
  }
  void OnLoadBegin() override { calls.emplace_back("OnLoadBegin"); }
  void OnLoadSucceeded() override { calls.emplace_back("OnLoadSucceeded"); }
  void OnLoadFailed() override { calls.emplace_back("OnLoadFailed"); }
  bool RetryLoad() override {
    calls.emplace_back("RetryLoad");
    return false;
  }
  StorageCheckFunction GetCheckFunction() override { return check_; }

  Strings calls;

 private:
  const char* path_;
  StorageCheckFunction check_;
};

// What the check functions saw; reset by each test.
struct CheckRecord {
  int calls = 0;
  bool rootWasUsable = true;
  StorageType type = STORAGE_XML;
};
CheckRecord checks;

bool Accept(IStorageSection* root, StorageType type) {
  ++checks.calls;
  checks.type = type;
  try {
    Ref<IStorageKey> key(root->OpenKey("Name"));
  } catch (const Exception&) {
    checks.rootWasUsable = false;
  }
  return true;
}

bool Refuse(IStorageSection*, StorageType) {
  ++checks.calls;
  return false;
}

class RegistryControllerTest : public RegistryBackendTest {
 protected:
  void SetUp() override {
    RegistryBackendTest::SetUp();
    checks = CheckRecord{};
    WriteString(section(), "Name", "value");
  }
};

TEST_P(RegistryControllerTest, InitializeStorageGivesTheRegistryKeyAsRoot) {
  RecordingInitializer init("HKCU\\Software\\RegistryBackendTest", Accept);
  NoThrowStorageFactory* factory = InitializeStorage(STORAGE_REGISTRY, &init);
  ASSERT_NE(factory, nullptr);

  EXPECT_EQ(init.calls, (Strings{"OnLoadBegin", "OnLoadSucceeded"}));
  EXPECT_EQ(checks.calls, 2);
  EXPECT_EQ(checks.type, STORAGE_REGISTRY);
  EXPECT_TRUE(checks.rootWasUsable);

  ITraits* traits = factory->GetTraits();
  EXPECT_STREQ(traits->GetName(), "Windows Registry");
  EXPECT_TRUE(traits->IsThreadSafe());
  EXPECT_TRUE(traits->IsInterprocess());
  EXPECT_EQ(traits->GetType(), STORAGE_REGISTRY);

  {
    Ref<IStorageSection> root(factory->GetRoot());
    EXPECT_EQ(ReadString(*root, "Name"), "value");
    WriteString(*root, "Added", "through the factory");
  }
  factory->LoadSuccessful();
  factory->Dispose();
  EXPECT_EQ(ReadString(section(), "Added"), "through the factory");
}

TEST_P(RegistryControllerTest, ARootKeyAloneServesAsStorage) {
  RecordingInitializer init("HKCU");
  NoThrowStorageFactory* factory = InitializeStorage(STORAGE_REGISTRY, &init);
  ASSERT_NE(factory, nullptr);
  {
    Ref<IStorageSection> root(factory->GetRoot());
    Ref<IStorageSection> test(root->OpenSection("Software\\RegistryBackendTest"));
    EXPECT_EQ(ReadString(*test, "Name"), "value");
  }
  factory->Dispose();
  EXPECT_EQ(init.calls, (Strings{"OnLoadBegin", "OnLoadSucceeded"}));
}

TEST_P(RegistryControllerTest, ARefusingCheckFailsTheLoadWithAnAssertion) {
  RecordingInitializer init("HKCU\\Software\\RegistryBackendTest", Refuse);
  try {
    InitializeStorage(STORAGE_REGISTRY, &init);
    ADD_FAILURE() << "the load was accepted";
  } catch (const AssertException& e) {
    EXPECT_EQ(e.File(), "RegisteryStorage\\RegisteryStorage");
    EXPECT_EQ(e.Function(), "storage::RegisteryStorageController::RegisteryStorageController");
    EXPECT_FALSE(e.HasMessage());
  }
  EXPECT_EQ(checks.calls, 1);
  EXPECT_EQ(init.calls, (Strings{"OnLoadBegin", "OnLoadFailed"}));
}

TEST_P(RegistryControllerTest, PathsThatCannotBeOpenedFailWithoutOnLoadFailed) {
  RecordingInitializer noPath(nullptr, Accept);
  EXPECT_THROW(InitializeStorage(STORAGE_REGISTRY, &noPath), CheckStorageException);
  EXPECT_EQ(noPath.calls, Strings{"OnLoadBegin"});

  RecordingInitializer missing("HKCU\\Software\\Missing", Accept);
  EXPECT_STORAGE_ERROR(InitializeStorage(STORAGE_REGISTRY, &missing), OpenException, -2);
  EXPECT_EQ(missing.calls, Strings{"OnLoadBegin"});

  RecordingInitializer unknownRoot("hkcu\\Software", Accept);
  EXPECT_STORAGE_ERROR(InitializeStorage(STORAGE_REGISTRY, &unknownRoot), Exception, -2);
  EXPECT_EQ(unknownRoot.calls, Strings{"OnLoadBegin"});

  EXPECT_EQ(checks.calls, 0);
  // The registry is opened, never created.
  Ref<IStorageSection> software(GetRegStorage("HKCU\\Software"));
  EXPECT_EQ(Names(software->EnumSections()), Strings{"RegistryBackendTest"});
}

INSTANTIATE_TEST_SUITE_P(Stores, RegistryControllerTest,
                         ::testing::Values(StoreKind::kMemory, StoreKind::kSqlite), StoreName);

}  // namespace
}  // namespace settingstore::test
