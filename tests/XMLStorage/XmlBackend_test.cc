// The XML backend as a host meets it: InitializeStorage(1, ...), the factory,
// the settings file and its backup.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "XmlFilesTestSupport.h"
#include "XmlSectionTestSupport.h"
#include "storage/storage.h"
#include "xmlfile/IdleSave.h"

namespace {

using storage::IStorageKey;
using storage::IStorageSection;
using storage::Ref;
using xmlsections::Names;
using xmlsections::Raised;
using namespace xmlfiles;

// Hands the factory back with Dispose, as a host must.
struct FactoryDisposer {
  void operator()(storage::NoThrowStorageFactory* factory) const { factory->Dispose(); }
};
using Factory = std::unique_ptr<storage::NoThrowStorageFactory, FactoryDisposer>;

class XmlBackendTest : public XmlFilesTest {
 protected:
  Factory Open(RecordingInitializer& init) { return Factory(InitializeStorage(storage::STORAGE_XML, &init)); }
};

TEST_F(XmlBackendTest, AFirstStartLoadsEmptySettingsThatSaveAndReload) {
  RecordingInitializer init = Initializer();
  {
    Factory factory = Open(init);
    ASSERT_TRUE(factory);
    EXPECT_EQ(init.calls,
              (std::vector<std::string>{"Begin", "Failed", "Failed", "Failed", "Begin", "Succeeded"}));
    EXPECT_STREQ(factory->GetTraits()->GetName(), "XML(Threadsafe)");
    EXPECT_TRUE(factory->GetTraits()->IsThreadSafe());
    EXPECT_EQ(factory->GetTraits()->GetType(), storage::STORAGE_XML);

    Ref<IStorageSection> root(factory->GetRoot());
    Ref<IStorageKey> port(Ref<IStorageSection>(root->CreateSection("net"))->CreateKey("Port"));
    int32_t value = 8080;
    port->Write(storage::TYPE_INTEGER, &value, sizeof value);
    EXPECT_FALSE(Exists(settingsFile())) << "only Save writes the settings";
  }  // Dispose saves
  ASSERT_TRUE(Exists(settingsFile()));

  RecordingInitializer again = Initializer();
  Factory factory = Open(again);
  EXPECT_EQ(again.calls, (std::vector<std::string>{"Begin", "Succeeded"}));
  Ref<IStorageSection> root(factory->GetRoot());
  int32_t value = 0;
  Ref<IStorageKey>(Ref<IStorageSection>(root->OpenSection("NET"))->OpenKey("port"))
      ->Read(&value, sizeof value);
  EXPECT_EQ(value, 8080);

  factory->LoadSuccessful();
  storage::IdleSave::WaitUntilIdle();
  EXPECT_EQ(ReadFile(backupFile()), ReadFile(settingsFile()));
}

TEST_F(XmlBackendTest, ValuesKeepTheirEncodingInTheFile) {
  RecordingInitializer init = Initializer();
  Factory factory = Open(init);
  Ref<IStorageSection> root(factory->GetRoot());
  Ref<IStorageKey> binary(root->CreateKey("Binary"));
  const unsigned char bytes[5] = {1, 2, 3, 4, 5};
  binary->Write(storage::TYPE_BINARY, bytes, 5);
  Ref<IStorageKey> whole(root->CreateKey("Whole"));
  whole->Write(storage::TYPE_STRING, "abc", 10);
  Ref<IStorageKey> cut(root->CreateKey("Cut"));
  cut->Write(storage::TYPE_STRING, "abc", 2);
  Ref<IStorageKey> multi(root->CreateKey("Multi"));
  multi->Write(storage::TYPE_MULTI_STRING, "a\0bc\0", 6);
  Ref<IStorageKey> negative(root->CreateKey("Negative"));
  int32_t minusSeven = -7;
  negative->Write(storage::TYPE_INTEGER, &minusSeven, sizeof minusSeven);
  factory->Save();

  const std::string file = ReadFile(settingsFile());
  for (const char* expected :
       {"name=\"Binary\" value=\"AQIDBAU=\" type=\"Binary\" size=\"5\"",
        "name=\"Whole\" value=\"abc\" type=\"String\" size=\"4\"",
        "name=\"Cut\" value=\"ab\" type=\"String\" size=\"2\"", "<substring value=\"a\"/>",
        "<substring value=\"bc\"/>", "name=\"Negative\" value=\"-7\" type=\"Integer\""}) {
    EXPECT_NE(file.find(expected), std::string::npos) << expected << " in\n" << file;
  }

  unsigned char five[5] = {};
  EXPECT_TRUE(binary->Read(five, 5));
  EXPECT_EQ(std::memcmp(five, bytes, 5), 0);
  EXPECT_EQ(Raised([&] { binary->Read(five, 4); }), "Exception -6");
  char text[10] = {};
  EXPECT_EQ(Raised([&] { whole->Read(text, 3); }), "IOException -7");
  EXPECT_TRUE(whole->Read(text, 4));
  EXPECT_STREQ(text, "abc");
  char strings[10];
  EXPECT_TRUE(multi->Read(strings, 10));
  EXPECT_EQ(std::memcmp(strings, "a\0bc\0\0", 6), 0);
  char small[3];
  EXPECT_TRUE(multi->Read(small, 3));
  EXPECT_EQ(std::memcmp(small, "a\0\0", 3), 0);
  EXPECT_EQ(negative->GetType(), storage::TYPE_INTEGER);
}

TEST_F(XmlBackendTest, TwoStoragesOfOneProcessKeepToTheirOwnFiles) {
  // The first storage falls back all the way; the second must still load its
  // own settings file and keep its backup.
  WriteFile(settingsFile(), kCorrupt);
  const fs::path otherDir = dir_ / "other";
  WriteFile(otherDir / ".storage", DocumentFrom("other"));
  WriteFile(otherDir / ".storage.backup", DocumentFrom("other backup"));

  RecordingInitializer first = Initializer();
  Factory failing = Open(first);
  RecordingInitializer second(otherDir.string(), (dir_ / "defaults").string());
  Factory healthy = Open(second);
  EXPECT_EQ(second.calls, (std::vector<std::string>{"Begin", "Succeeded"}));
  Ref<IStorageSection> root(healthy->GetRoot());
  EXPECT_EQ(Names(root->EnumKeys()), std::vector<std::string>{"from_other"});

  failing->LoadSuccessful();
  storage::IdleSave::WaitUntilIdle();
  EXPECT_EQ(ReadFile(otherDir / ".storage"), DocumentFrom("other"));
  EXPECT_EQ(ReadFile(otherDir / ".storage.backup"), DocumentFrom("other backup"));
  healthy->LoadSuccessful();
  storage::IdleSave::WaitUntilIdle();
  EXPECT_EQ(ReadFile(otherDir / ".storage.backup"), DocumentFrom("other"));
}

TEST_F(XmlBackendTest, ARefusingCheckFunctionFailsInitializeStorage) {
  RecordingInitializer init = Initializer(RecordingInitializer::Check::kRefuseAll);
  EXPECT_THROW(InitializeStorage(storage::STORAGE_XML, &init), storage::AssertException);
  EXPECT_EQ(init.calls.back(), "Failed");
}

// A host without a location gets the settings file of the current directory.
class NullPathInitializer : public RecordingInitializer {
 public:
  NullPathInitializer() : RecordingInitializer("", "") {}
  const char* GetPath() override { return nullptr; }
  const char* GetDefaultPath() override { return nullptr; }
};

TEST_F(XmlBackendTest, ANullLocationMeansTheCurrentDirectory) {
  const fs::path previous = fs::current_path();
  fs::current_path(dir_);
  WriteFile(dir_ / ".storage", DocumentFrom("here"));
  NullPathInitializer init;
  {
    Factory factory = Open(init);
    Ref<IStorageSection> root(factory->GetRoot());
    EXPECT_EQ(Names(root->EnumKeys()), std::vector<std::string>{"from_here"});
  }
  fs::current_path(previous);
}

}  // namespace
