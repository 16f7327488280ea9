// Sections of the registry backend, on the in-memory and the SQLite store.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "registry/RegistryBackendSupport.h"

namespace settingstore::test {
namespace {

using namespace storage;
using Strings = std::vector<std::string>;

class RegistryStorageTest : public RegistryBackendTest {};

TEST_P(RegistryStorageTest, CreateKeyOfAMissingValueChangesNothingUntilTheFirstWrite) {
  Ref<IStorageKey> key(section().CreateKey("Width"));
  EXPECT_TRUE(Names(section().EnumKeys()).empty());
  EXPECT_STORAGE_ERROR(section().OpenKey("Width"), OpenException, -2);
  EXPECT_STORAGE_ERROR(key->GetSize(), IOException, -2);

  const uint32_t width = 640;
  EXPECT_TRUE(key->Write(TYPE_INTEGER, &width, sizeof width));
  EXPECT_EQ(Names(section().EnumKeys()), Strings{"Width"});
  Ref<IStorageKey> opened(section().OpenKey("Width"));
  EXPECT_EQ(opened->GetSize(), 4u);

  // Creating an existing value keeps it as it is.
  Ref<IStorageKey> again(section().CreateKey("Width"));
  uint32_t read = 0;
  EXPECT_TRUE(again->Read(&read, sizeof read));
  EXPECT_EQ(read, 640u);
}

TEST_P(RegistryStorageTest, MissingNamesAndPathsAreRefusedWithTheirOperationsClass) {
  EXPECT_STORAGE_ERROR(section().OpenKey(nullptr), OpenException, -6);
  EXPECT_STORAGE_ERROR(section().CreateKey(nullptr), CreateException, -6);
  EXPECT_STORAGE_ERROR(section().OpenSection(nullptr), OpenException, -6);
  EXPECT_STORAGE_ERROR(section().OpenSection(""), OpenException, -6);
  EXPECT_STORAGE_ERROR(section().CreateSection(nullptr), CreateException, -6);
  EXPECT_STORAGE_ERROR(section().CreateSection(""), CreateException, -6);
  EXPECT_STORAGE_ERROR(section().DeleteSection(nullptr), DeleteException, -5);
  EXPECT_STORAGE_ERROR(section().DeleteSection(""), DeleteException, -5);
  EXPECT_TRUE(Names(section().EnumSections()).empty());
}

TEST_P(RegistryStorageTest, MissingItemsAreReportedAsNotFound) {
  EXPECT_STORAGE_ERROR(section().OpenKey("Nothing"), OpenException, -2);
  EXPECT_STORAGE_ERROR(section().OpenSection("Nothing"), OpenException, -2);
  EXPECT_STORAGE_ERROR(section().OpenSection("Nothing\\Deeper"), OpenException, -2);
  EXPECT_STORAGE_ERROR(section().DeleteSection("Nothing"), DeleteException, -2);
  EXPECT_STORAGE_ERROR(section().DeleteKey("Nothing"), DeleteException, -2);
  EXPECT_STORAGE_ERROR(section().DeleteKey(nullptr), DeleteException, -2);
}

TEST_P(RegistryStorageTest, TwoAndThreeLevelPathsReachEveryLevel) {
  Ref<IStorageSection> deepest(section().CreateSection("A\\B\\C"));
  WriteString(*deepest, "Name", "deep");

  EXPECT_EQ(Names(section().EnumSections()), Strings{"A"});
  Ref<IStorageSection> middle(section().OpenSection("A\\B"));
  EXPECT_EQ(Names(middle->EnumSections()), Strings{"C"});
  Ref<IStorageSection> again(middle->OpenSection("C"));
  EXPECT_EQ(ReadString(*again, "Name"), "deep");

  // Creating a path that partly exists adds only the missing levels.
  Ref<IStorageSection> sibling(section().CreateSection("A\\B\\D"));
  EXPECT_EQ(Names(middle->EnumSections()), (Strings{"C", "D"}));
  Ref<IStorageSection> existing(section().CreateSection("A\\B\\C"));
  EXPECT_EQ(ReadString(*existing, "Name"), "deep");
}

TEST_P(RegistryStorageTest, DeleteSectionRemovesOnlyEmptySections) {
  Ref<IStorageSection> withValue(section().CreateSection("WithValue"));
  WriteString(*withValue, "Only", "value");
  EXPECT_STORAGE_ERROR(section().DeleteSection("WithValue"), NotEmptyException, -6);
  EXPECT_EQ(ReadString(*withValue, "Only"), "value");

  Ref<IStorageSection> withChild(section().CreateSection("WithChild\\Child"));
  EXPECT_STORAGE_ERROR(section().DeleteSection("WithChild"), NotEmptyException, -6);

  EXPECT_TRUE(section().DeleteSection("WithChild\\Child"));
  EXPECT_TRUE(section().DeleteSection("withchild"));
  EXPECT_STORAGE_ERROR(section().OpenSection("WithChild"), OpenException, -2);
  EXPECT_EQ(Names(section().EnumSections()), Strings{"WithValue"});
}

TEST_P(RegistryStorageTest, EnumKeysListsTheDefaultValueOnlyWhileItIsSet) {
  WriteString(section(), "First", "1");
  WriteString(section(), "Second", "2");
  EXPECT_EQ(Names(section().EnumKeys()), (Strings{"First", "Second"}));

  WriteString(section(), "", "default");
  const Strings names = Names(section().EnumKeys());
  EXPECT_EQ(std::count(names.begin(), names.end(), ""), 1);
  EXPECT_EQ(names.size(), 3u);
  EXPECT_EQ(ReadString(section(), ""), "default");

  // A null name deletes the default value.
  EXPECT_TRUE(section().DeleteKey(nullptr));
  EXPECT_EQ(Names(section().EnumKeys()), (Strings{"First", "Second"}));
}

TEST_P(RegistryStorageTest, DeleteKeyLeavesKeyObjectsThatReportTheValueMissing) {
  WriteString(section(), "Gone", "soon");
  Ref<IStorageKey> key(section().OpenKey("Gone"));
  EXPECT_TRUE(section().DeleteKey("gone"));
  EXPECT_TRUE(Names(section().EnumKeys()).empty());
  char buffer[16];
  EXPECT_STORAGE_ERROR(key->Read(buffer, sizeof buffer), IOException, -2);
  EXPECT_STORAGE_ERROR(key->GetType(), IOException, -2);
  EXPECT_STORAGE_ERROR(key->GetSize(), IOException, -2);
  // Writing through the old object brings the value back.
  EXPECT_TRUE(key->Write(TYPE_STRING, "back", 5));
  EXPECT_EQ(ReadString(section(), "Gone"), "back");
}

TEST_P(RegistryStorageTest, KeysAndSubSectionsOutliveTheSectionThatMadeThem) {
  Ref<IStorageSection> parent(section().CreateSection("Parent"));
  Ref<IStorageKey> key(parent->CreateKey("Kept"));
  Ref<IStorageSection> child(parent->CreateSection("Child"));
  parent.reset();

  EXPECT_TRUE(key->Write(TYPE_STRING, "alive", 6));
  WriteString(*child, "Inner", "also");
  Ref<IStorageSection> reopened(section().OpenSection("Parent"));
  EXPECT_EQ(ReadString(*reopened, "Kept"), "alive");
  EXPECT_EQ(Names(reopened->EnumSections()), Strings{"Child"});
}

TEST_P(RegistryStorageTest, ASectionWhoseKeyWasDeletedElsewhereFails) {
  Ref<IStorageSection> doomed(section().CreateSection("Doomed"));
  EXPECT_TRUE(section().DeleteSection("Doomed"));

  EXPECT_STORAGE_ERROR(doomed->EnumKeys(), IOException, -6);
  EXPECT_STORAGE_ERROR(doomed->EnumSections(), IOException, -6);
  EXPECT_STORAGE_ERROR(doomed->CreateKey("Value"), CreateException, -6);
  EXPECT_STORAGE_ERROR(doomed->CreateSection("Child"), CreateException, -6);
  EXPECT_STORAGE_ERROR(doomed->OpenKey("Value"), OpenException, -6);
}

TEST_P(RegistryStorageTest, SlashesInsideAPathAreNamesNotSeparators) {
  Ref<IStorageSection> slashed(section().CreateSection("a/b"));
  EXPECT_EQ(Names(section().EnumSections()), Strings{"a/b"});
  EXPECT_STORAGE_ERROR(section().OpenSection("a"), OpenException, -2);
}

INSTANTIATE_TEST_SUITE_P(Stores, RegistryStorageTest,
                         ::testing::Values(StoreKind::kMemory, StoreKind::kSqlite), StoreName);

}  // namespace
}  // namespace settingstore::test
