// Loading the settings document with its fall-back files, saving it, and
// parsing XML directly.
#include "xmlfile/XmlStorageController.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <tuple>

#include "XmlFilesTestSupport.h"
#include "XmlSectionTestSupport.h"
#include "xmlfile/IdleSave.h"

namespace {

using storage::Ref;
using storage::XmlStorageController;
using xmlsections::Names;
using namespace xmlfiles;
using Check = RecordingInitializer::Check;

enum class FileState { kMissing, kCorrupt, kGood };
const char* Describe(FileState state) {
  return state == FileState::kMissing ? "Missing" : state == FileState::kCorrupt ? "Corrupt" : "Good";
}

class XmlControllerTest : public XmlFilesTest {
 protected:
  Ref<XmlStorageController> Load(RecordingInitializer& init) {
    return Ref<XmlStorageController>(new XmlStorageController(&init));
  }
  static std::vector<std::string> Keys(XmlStorageController& controller) {
    Ref<storage::IStorageSection> root(controller.GetRoot());
    return Names(root->EnumKeys());
  }
};

// Every combination of settings, backup and default file, each missing,
// corrupt or good: which content loads, what the initializer hears, and what
// the files hold afterwards and after the load is confirmed.
class XmlRotationTest : public XmlControllerTest,
                        public ::testing::WithParamInterface<std::tuple<FileState, FileState, FileState>> {
 protected:
  void Place(const fs::path& path, FileState state, const std::string& origin) {
    if (state == FileState::kGood) WriteFile(path, DocumentFrom(origin));
    if (state == FileState::kCorrupt) WriteFile(path, kCorrupt);
  }
  static std::string Content(FileState state, const std::string& origin) {
    return state == FileState::kGood ? DocumentFrom(origin) : state == FileState::kCorrupt ? kCorrupt : "";
  }
};

TEST_P(XmlRotationTest, LoadsTheFirstGoodFileAndRotatesTheFiles) {
  auto [settingsState, backupState, defaultState] = GetParam();
  Place(settingsFile(), settingsState, "settings");
  Place(backupFile(), backupState, "backup");
  Place(defaultFile(), defaultState, "default");

  RecordingInitializer init = Initializer();
  Ref<XmlStorageController> controller = Load(init);

  std::vector<std::string> keys;
  std::vector<std::string> calls{"Begin"};
  std::optional<std::string> settingsAfter, backupAfter, backupAfterConfirm;
  if (settingsState == FileState::kGood) {
    keys = {"from_settings"};
    settingsAfter = DocumentFrom("settings");
    if (backupState != FileState::kMissing) backupAfter = Content(backupState, "backup");
    backupAfterConfirm = DocumentFrom("settings");
  } else if (backupState == FileState::kGood) {
    keys = {"from_backup"};
    calls.push_back("Failed");
    settingsAfter = backupAfter = backupAfterConfirm = DocumentFrom("backup");
  } else if (defaultState == FileState::kGood) {
    keys = {"from_default"};
    calls.insert(calls.end(), {"Failed", "Failed"});
    settingsAfter = backupAfterConfirm = DocumentFrom("default");
  } else {
    calls.insert(calls.end(), {"Failed", "Failed", "Failed", "Begin"});
    backupAfterConfirm = Content(defaultState, "default");
  }
  calls.push_back("Succeeded");

  EXPECT_EQ(Keys(*controller), keys);
  EXPECT_EQ(init.calls, calls);
  auto contentOf = [](const fs::path& path) -> std::optional<std::string> {
    if (!Exists(path)) return std::nullopt;
    return ReadFile(path);
  };
  EXPECT_EQ(contentOf(settingsFile()), settingsAfter);
  EXPECT_EQ(contentOf(backupFile()), backupAfter);
  EXPECT_EQ(ReadFile(defaultFile()), Content(defaultState, "default")) << "the default file is never written";
  // A file that does not parse is kept beside, never deleted.
  const std::optional<std::string> corrupt(kCorrupt);
  EXPECT_EQ(contentOf(dir_ / ".storage.damaged"),
            settingsState == FileState::kCorrupt ? corrupt : std::nullopt);
  EXPECT_EQ(contentOf(dir_ / ".storage.backup.damaged"),
            backupState == FileState::kCorrupt && settingsState != FileState::kGood ? corrupt : std::nullopt);

  controller->LoadSuccessful();
  storage::IdleSave::WaitUntilIdle();
  EXPECT_EQ(contentOf(backupFile()), backupAfterConfirm);
}

INSTANTIATE_TEST_SUITE_P(
    AllFiles, XmlRotationTest,
    ::testing::Combine(::testing::Values(FileState::kMissing, FileState::kCorrupt, FileState::kGood),
                       ::testing::Values(FileState::kMissing, FileState::kCorrupt, FileState::kGood),
                       ::testing::Values(FileState::kMissing, FileState::kCorrupt, FileState::kGood)),
    [](const auto& info) {
      return std::string("Settings") + Describe(std::get<0>(info.param)) + "Backup" +
             Describe(std::get<1>(info.param)) + "Default" + Describe(std::get<2>(info.param));
    });

TEST_F(XmlControllerTest, DamagedSettingsAreKeptThreeDeepAndAnUnreadableFileFailsTheLoadUntouched) {
  for (int load = 0; load < 4; ++load) {
    WriteFile(settingsFile(), kCorrupt + std::to_string(load));
    RecordingInitializer init = Initializer();
    Load(init);
  }
  EXPECT_EQ(ReadFile(dir_ / ".storage.damaged"), kCorrupt + std::string("3"));
  EXPECT_EQ(ReadFile(dir_ / ".storage.damaged.1"), kCorrupt + std::string("2"));
  EXPECT_EQ(ReadFile(dir_ / ".storage.damaged.2"), kCorrupt + std::string("1"));
  EXPECT_FALSE(Exists(dir_ / ".storage.damaged.3"));

  // Running as root, a directory is what cannot be read.
  fs::create_directory(settingsFile());
  WriteFile(backupFile(), DocumentFrom("backup"));
  RecordingInitializer init = Initializer();
  try {
    Load(init);
    FAIL() << "an unreadable settings file was passed over";
  } catch (const storage::TechnicalException& error) {
    EXPECT_NE(std::string(error.what()).find(settingsFile().string()), std::string::npos) << error.what();
  }
  EXPECT_EQ(init.calls, (std::vector<std::string>{"Begin", "Failed"}));
  EXPECT_TRUE(fs::is_directory(settingsFile()));
  EXPECT_EQ(ReadFile(backupFile()), DocumentFrom("backup"));
  EXPECT_EQ(ReadFile(dir_ / ".storage.damaged"), kCorrupt + std::string("3"));
}

TEST_F(XmlControllerTest, TheCheckFunctionSeesTheUnwrappedRootAndARefusalFallsBack) {
  WriteFile(settingsFile(), "<settings/>");
  WriteFile(backupFile(), DocumentFrom("backup"));
  RecordingInitializer init = Initializer(Check::kRefuseEmpty);
  Ref<XmlStorageController> controller = Load(init);
  EXPECT_EQ(Keys(*controller), std::vector<std::string>{"from_backup"});
  EXPECT_EQ(init.calls, (std::vector<std::string>{"Begin", "Failed", "Succeeded"}));
}

TEST_F(XmlControllerTest, ARefusalOfEvenTheEmptyDocumentFailsTheLoad) {
  WriteFile(settingsFile(), DocumentFrom("settings"));
  RecordingInitializer init = Initializer(Check::kRefuseAll);
  EXPECT_THROW(Load(init), storage::AssertException);
  EXPECT_EQ(init.calls, (std::vector<std::string>{"Begin", "Failed", "Failed", "Failed", "Begin", "Failed"}));
  EXPECT_FALSE(Exists(settingsFile()));
  EXPECT_FALSE(Exists(backupFile()));
}

TEST_F(XmlControllerTest, AnAcceptedEmptyDocumentIsNotWrittenUntilSave) {
  RecordingInitializer init = Initializer(Check::kAcceptAll);
  Ref<XmlStorageController> controller = Load(init);
  EXPECT_TRUE(Keys(*controller).empty());
  EXPECT_FALSE(Exists(settingsFile()));
  controller->Save();
  EXPECT_TRUE(Exists(settingsFile()));
}

TEST_F(XmlControllerTest, ASavedDocumentReloadsToTheSameTree) {
  RecordingInitializer init = Initializer();
  {
    Ref<XmlStorageController> controller = Load(init);
    Ref<storage::IStorageSection> root(controller->GetRoot());
    Ref<storage::IStorageSection> window(root->CreateSection("ui\\window"));
    Ref<storage::IStorageKey> width(window->CreateKey("Width"));
    int32_t value = 640;
    width->Write(storage::TYPE_INTEGER, &value, sizeof value);
    Ref<storage::IStorageKey> title(root->CreateKey("Title"));
    title->Write(storage::TYPE_STRING, "a <b> & \"c\"", 12);
    controller->Save();
  }
  std::string saved = ReadFile(settingsFile());
  EXPECT_NE(saved.find("\n  <section name=\"ui\">"), std::string::npos) << "indented by two blanks:\n"
                                                                        << saved;

  RecordingInitializer again = Initializer();
  Ref<XmlStorageController> reloaded = Load(again);
  EXPECT_EQ(again.calls, (std::vector<std::string>{"Begin", "Succeeded"}));
  reloaded->Save();
  EXPECT_EQ(ReadFile(settingsFile()), saved);
  Ref<storage::IStorageSection> root(reloaded->GetRoot());
  Ref<storage::IStorageSection> window(root->OpenSection("UI/Window"));
  Ref<storage::IStorageKey> width(window->OpenKey("width"));
  int32_t value = 0;
  width->Read(&value, sizeof value);
  EXPECT_EQ(value, 640);
  char title[16] = {};
  Ref<storage::IStorageKey>(root->OpenKey("title"))->Read(title, sizeof title);
  EXPECT_STREQ(title, "a <b> & \"c\"");
}

TEST_F(XmlControllerTest, AFileWrittenByHandLoads) {
  WriteFile(settingsFile(),
            "<?xml version=\"1.0\"?>\n"
            "<storage>\n"
            "  <section name=\"Net\">\n"
            "    <key name=\"Port\" value=\"8080\" type=\"Integer\" size=\"4\"/>\n"
            "    <key name=\"Hosts\" type=\"MultiString\" size=\"6\">\n"
            "      <substring value=\"a\"/>\n"
            "      <substring value=\"bc\"/>\n"
            "    </key>\n"
            "  </section>\n"
            "  <key name=\"Blob\" value=\"AQIDBAU=\" type=\"Binary\" size=\"5\"/>\n"
            "</storage>\n");
  RecordingInitializer init = Initializer();
  Ref<XmlStorageController> controller = Load(init);
  Ref<storage::IStorageSection> root(controller->GetRoot());
  Ref<storage::IStorageSection> net(root->OpenSection("Net"));
  int32_t port = 0;
  Ref<storage::IStorageKey>(net->OpenKey("Port"))->Read(&port, sizeof port);
  EXPECT_EQ(port, 8080);
  char hosts[10];
  Ref<storage::IStorageKey>(net->OpenKey("Hosts"))->Read(hosts, sizeof hosts);
  EXPECT_EQ(std::memcmp(hosts, "a\0bc\0\0", 6), 0);
  unsigned char blob[5];
  Ref<storage::IStorageKey>(root->OpenKey("Blob"))->Read(blob, sizeof blob);
  EXPECT_EQ(std::memcmp(blob, "\x01\x02\x03\x04\x05", 5), 0);
}

TEST_F(XmlControllerTest, SaveIntoAMissingDirectoryRaisesNothingAndWritesNothing) {
  RecordingInitializer init((dir_ / "gone").string(), (dir_ / "defaults").string());
  Ref<XmlStorageController> controller = Load(init);
  fs::remove_all(dir_ / "gone");  // the fall-back made it while restoring files
  static std::vector<std::string> errors;
  errors.clear();
  storage::logger::SetSink([](storage::logger::Level level, const char* message) {
    if (level == storage::logger::LEVEL_ERROR) errors.emplace_back(message);
  });
  EXPECT_NO_THROW(controller->Save());
  storage::logger::SetSink(nullptr);
  EXPECT_FALSE(Exists(dir_ / "gone"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find((dir_ / "gone" / ".storage").string()), std::string::npos) << errors[0];
}

TEST_F(XmlControllerTest, TraitsDescribeASingleThreadedFileStorage) {
  TraitsHolder traits(new XmlStorageController::Traits());
  EXPECT_STREQ(traits->GetName(), "XML");
  EXPECT_FALSE(traits->IsThreadSafe());
  EXPECT_FALSE(traits->IsInterprocess());
  EXPECT_EQ(traits->GetType(), storage::STORAGE_XML);
}

TEST_F(XmlControllerTest, GetXmlStorageParsesATextOrAFile) {
  const std::string text = DocumentFrom("text");
  Ref<storage::IStorageSection> fromText(
      storage::GetXmlStorage(text.data(), static_cast<unsigned>(text.size())));
  ASSERT_TRUE(fromText);
  EXPECT_EQ(Names(fromText->EnumKeys()), std::vector<std::string>{"from_text"});

  WriteFile(dir_ / "doc.xml", DocumentFrom("file"));
  Ref<storage::IStorageSection> fromFile(storage::GetXmlStorage((dir_ / "doc.xml").c_str()));
  ASSERT_TRUE(fromFile);
  EXPECT_EQ(Names(fromFile->EnumKeys()), std::vector<std::string>{"from_file"});
}

TEST_F(XmlControllerTest, GetXmlStorageOfAMissingEmptyOrMalformedFile) {
  EXPECT_EQ(storage::GetXmlStorage((dir_ / "missing.xml").c_str()), nullptr);
  WriteFile(dir_ / "empty.xml", "");
  EXPECT_EQ(storage::GetXmlStorage((dir_ / "empty.xml").c_str()), nullptr);
  WriteFile(dir_ / "bad.xml", kCorrupt);
  EXPECT_THROW(storage::GetXmlStorage((dir_ / "bad.xml").c_str()), CVelXmlParseException);
  EXPECT_THROW(storage::GetXmlStorage("", 0), CVelXmlParseException);
  EXPECT_EQ(storage::GetXmlStorage(nullptr), nullptr);
}

TEST_F(XmlControllerTest, SectionsFromGetXmlStorageKeepTheirDocumentAlive) {
  const std::string text =
      "<r><section name=\"s\"><key name=\"k\" value=\"7\" type=\"Integer\" size=\"4\"/></section></r>";
  Ref<storage::IStorageKey> key;
  {
    Ref<storage::IStorageSection> root(
        storage::GetXmlStorage(text.data(), static_cast<unsigned>(text.size())));
    Ref<storage::IStorageSection> section(root->OpenSection("s"));
    key.reset(section->OpenKey("k"));
  }
  int32_t value = 0;
  EXPECT_TRUE(key->Read(&value, sizeof value));
  EXPECT_EQ(value, 7);
}

}  // namespace
