// What is the XML-file backend's own, through the public API: which of the
// settings, backup and default files loads and how they rotate, the file a
// host may read or edit, saving, and threads sharing one document.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "api/Storages.h"
#include "base/PathUtils.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;

std::string DocumentFrom(const std::string& origin) {
  return "<settings>\n  <key name=\"from_" + origin + "\"/>\n</settings>\n";
}
const std::string kCorrupt = "<settings><key name=\"broken\"></settings";

std::optional<std::string> Content(const fs::path& path) {
  if (!fs::exists(path)) return std::nullopt;
  return storage::utils::ReadWholeFile(path.string());
}
void Place(const fs::path& path, const std::string& content) {
  fs::create_directories(path.parent_path());
  ASSERT_TRUE(storage::utils::WriteWholeFile(path.string(), content)) << path;
}

// A fresh directory per test for the settings and backup file, with one
// below it for the default file; every storage opened is disposed at the end.
class XmlFileTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (storage::NoThrowStorageFactory* factory : factories_) factory->Dispose();
    DeinitializeStorage(storage::STORAGE_XML);  // waits for the background backup copy
  }
  storage::NoThrowStorageFactory* Open(HostInitializer& init) {
    return factories_.emplace_back(InitializeStorage(storage::STORAGE_XML, &init));
  }
  HostInitializer Init() const { return HostInitializer(dir_.string(), (dir_ / "defaults").string()); }
  static void Confirm(storage::NoThrowStorageFactory* factory) {
    factory->LoadSuccessful();
    DeinitializeStorage(storage::STORAGE_XML);
  }

  TempDirectory directory_;
  const fs::path dir_ = directory_.path();
  const fs::path settings_ = dir_ / ".storage";
  const fs::path backup_ = dir_ / ".storage.backup";
  const fs::path default_ = dir_ / "defaults" / ".storage.default";
  std::vector<storage::NoThrowStorageFactory*> factories_;
};

enum State { kMissing, kDamaged, kGood };

// Every combination of settings, backup and default file, each missing,
// corrupt or good: which content loads, what the host hears, and what the
// files hold afterwards and once the load is confirmed.
class XmlRotationTest : public XmlFileTest,
                        public ::testing::WithParamInterface<std::tuple<State, State, State>> {};

TEST_P(XmlRotationTest, LoadsTheFirstGoodFileAndRotatesTheFiles) {
  const auto [settings, backup, fallback] = GetParam();
  const auto text = [](State state, const std::string& origin) -> std::optional<std::string> {
    if (state == kMissing) return std::nullopt;
    return state == kGood ? DocumentFrom(origin) : kCorrupt;
  };
  for (const auto& [path, state, origin] : {std::tuple{settings_, settings, "settings"},
                                            {backup_, backup, "backup"},
                                            {default_, fallback, "default"}}) {
    if (state != kMissing) Place(path, *text(state, origin));
  }
  HostInitializer init = Init();
  storage::NoThrowStorageFactory* factory = Open(init);

  Strings keys;
  std::string calls = " Begin";
  std::optional<std::string> settingsAfter, backupAfter, backupConfirmed;
  if (settings == kGood) {
    keys = {"from_settings"};
    settingsAfter = backupConfirmed = DocumentFrom("settings");
    backupAfter = text(backup, "backup");
  } else if (backup == kGood) {
    keys = {"from_backup"};
    calls += " Failed";
    settingsAfter = backupAfter = backupConfirmed = DocumentFrom("backup");
  } else if (fallback == kGood) {
    keys = {"from_default"};
    calls += " Failed Failed";
    settingsAfter = backupConfirmed = DocumentFrom("default");
  } else {
    calls += " Failed Failed Failed Begin";
    backupConfirmed = text(fallback, "default").value_or("");
  }
  calls += " Succeeded";
  EXPECT_EQ(Names(Ref<IStorageSection>(factory->GetRoot())->EnumKeys()), keys);
  EXPECT_EQ(init.calls, calls);
  EXPECT_EQ(Content(settings_), settingsAfter);
  EXPECT_EQ(Content(backup_), backupAfter);
  EXPECT_EQ(Content(default_), text(fallback, "default")) << "the default file is never written";
  // A file that does not parse is kept beside, never deleted.
  EXPECT_EQ(Content(dir_ / ".storage.damaged"),
            settings == kDamaged ? std::optional(kCorrupt) : std::nullopt);
  EXPECT_EQ(Content(dir_ / ".storage.backup.damaged"),
            backup == kDamaged && settings != kGood ? std::optional(kCorrupt) : std::nullopt);
  Confirm(factory);
  EXPECT_EQ(Content(backup_), backupConfirmed);
}

INSTANTIATE_TEST_SUITE_P(AllFiles, XmlRotationTest,
                         ::testing::Combine(::testing::Values(kMissing, kDamaged, kGood),
                                            ::testing::Values(kMissing, kDamaged, kGood),
                                            ::testing::Values(kMissing, kDamaged, kGood)));

TEST_F(XmlFileTest, DamagedSettingsAreKeptThreeDeepAndAnUnreadableFileFailsTheLoadUntouched) {
  for (int load = 0; load < 4; ++load) {
    Place(settings_, kCorrupt + std::to_string(load));
    HostInitializer init = Init();
    InitializeStorage(storage::STORAGE_XML, &init)->Dispose();
  }
  EXPECT_EQ(Content(dir_ / ".storage.damaged"), kCorrupt + "3");
  EXPECT_EQ(Content(dir_ / ".storage.damaged.1"), kCorrupt + "2");
  EXPECT_EQ(Content(dir_ / ".storage.damaged.2"), kCorrupt + "1");
  EXPECT_FALSE(fs::exists(dir_ / ".storage.damaged.3"));

  // Running as root, a directory is what cannot be read.
  fs::remove(settings_);
  fs::create_directory(settings_);
  Place(backup_, DocumentFrom("backup"));
  HostInitializer init = Init();
  try {
    Open(init);
    FAIL() << "an unreadable settings file was passed over";
  } catch (const storage::TechnicalException& error) {
    EXPECT_NE(std::string(error.what()).find(settings_.string()), std::string::npos) << error.what();
  }
  EXPECT_EQ(init.calls, " Begin Failed Retry");
  EXPECT_TRUE(fs::is_directory(settings_));
  EXPECT_EQ(Content(backup_), DocumentFrom("backup"));
}

TEST_F(XmlFileTest, OnlySaveWritesTheFileWhichReloadsToTheSameBytes) {
  HostInitializer init = Init();
  storage::NoThrowStorageFactory* factory = Open(init);
  {
    Ref<IStorageSection> root(factory->GetRoot());
    Ref<IStorageKey>(Ref<IStorageSection>(root->CreateSection("ui\\window"))->CreateKey("Width"))
        ->Write(storage::TYPE_INTEGER, "\x80\x02\0\0", 4);
    const unsigned char bytes[5] = {1, 2, 3, 4, 5};
    Ref<IStorageKey>(root->CreateKey("Binary"))->Write(storage::TYPE_BINARY, bytes, 5);
    Ref<IStorageKey>(root->CreateKey("Multi"))->Write(storage::TYPE_MULTI_STRING, "a\0bc\0", 6);
    const int32_t minusSeven = -7;
    Ref<IStorageKey>(root->CreateKey("Negative"))->Write(storage::TYPE_INTEGER, &minusSeven, 4);
  }
  EXPECT_FALSE(fs::exists(settings_));
  factory->Save();
  const std::string saved = Content(settings_).value_or("");
  for (const char* expected :
       {"\n  <section name=\"ui\">\n    <section name=\"window\">\n      <key name=\"Width\" value=\"640\"",
        "name=\"Binary\" value=\"AQIDBAU=\" type=\"Binary\" size=\"5\"",
        "type=\"MultiString\" size=\"6\">\n    <substring value=\"a\"/>\n    <substring value=\"bc\"/>",
        "name=\"Negative\" value=\"-7\" type=\"Integer\" size=\"4\""}) {
    EXPECT_NE(saved.find(expected), std::string::npos) << expected << " in\n" << saved;
  }
  HostInitializer again = Init();
  storage::NoThrowStorageFactory* reloaded = Open(again);
  EXPECT_EQ(again.calls, " Begin Succeeded");
  reloaded->Save();
  EXPECT_EQ(Content(settings_), saved);
}

// Sizes that no read could fill are cut to what the value holds, so that a
// host sizing its buffer by them allocates no gigabytes; reads that do not
// match the value fail.
TEST_F(XmlFileTest, HandWrittenAndHandEditedFilesLoadWithoutLeadingPastTextOrBuffer) {
  const std::pair<const char*, std::string> cases[] = {
      {"value=\"99999999999\" type=\"Integer\" size=\"4\"/>", "4 \xFF\xFF\xFF\x7F"s},
      {"value=\"7\" type=\"Integer\" size=\"4000000000\"/>", "4 \7\0\0\0"s},
      {"type=\"MultiString\" size=\"1043455508\"><substring value=\"a\"/><other value=\"no\"/><substring/>"
       "<substring value=\"bc\"/></key>",
       "6 a\0bc\0\0"s},
      {"value=\"abc\" type=\"String\" size=\"4000000000\"/>", "4 error -6"},
      {"type=\"String\" size=\"4\"/>", "0 error -6"},
      {"value=\"AQIDBA\" type=\"Binary\" size=\"4\"/>", "0 error -6"},
      {"value=\"AQIDBAU=\" type=\"Binary\" size=\"9\"/>", "5 error -6"},
      {"value=\"abc\" type=\"string\" size=\"4\"/>", "0 error -6"},
  };
  for (const auto& [key, expected] : cases) {
    // Elements of other kinds, and keys and sections without a name, are passed over.
    Place(settings_, "<?xml version=\"1.0\"?>\n<storage>\n  <section name=\"Net\">\n    <key name=\"k\" "s +
                         key + "<other name=\"o\"/><key/><section/>\n  </section>\n</storage>\n");
    HostInitializer init = Init();
    storage::NoThrowStorageFactory* factory = InitializeStorage(storage::STORAGE_XML, &init);
    Ref<IStorageSection> net(Ref<IStorageSection>(factory->GetRoot())->OpenSection("net"));
    EXPECT_EQ(Names(net->EnumKeys()), Strings{"k"});
    EXPECT_EQ(Names(net->EnumSections()), Strings{});
    Ref<IStorageKey> found(net->OpenKey("K"));
    std::string read = std::to_string(found->GetSize()) + " ", buffer(12, '#');
    try {
      found->Read(buffer.data(), 12);
      read += buffer.substr(0, found->GetSize());
    } catch (const storage::Exception& e) {
      read += "error " + std::to_string(e.GetErrorCode());
    }
    delete factory;  // nothing of this document is saved
    EXPECT_EQ(read, expected) << key;
  }
}

TEST_F(XmlFileTest, ASaveThatCannotWriteRaisesNothingAndTellsTheLog) {
  HostInitializer init((dir_ / "gone").string(), (dir_ / "defaults").string());
  storage::NoThrowStorageFactory* factory = Open(init);
  fs::remove_all(dir_ / "gone");  // the fall-back made it while restoring files
  static Strings errors;
  storage::logger::SetSink([](storage::logger::Level level, const char* message) {
    if (level == storage::logger::LEVEL_ERROR) errors.emplace_back(message);
  });
  EXPECT_NO_THROW(factory->Save());
  storage::logger::SetSink(nullptr);
  EXPECT_FALSE(fs::exists(dir_ / "gone"));
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].find((dir_ / "gone" / ".storage").string()), std::string::npos) << errors[0];
}

TEST_F(XmlFileTest, TwoStoragesOfOneProcessKeepToTheirOwnFiles) {
  // The first storage falls back all the way; the second still loads its own
  // settings file and keeps its backup.
  Place(settings_, kCorrupt);
  Place(dir_ / "other" / ".storage", DocumentFrom("other"));
  Place(dir_ / "other" / ".storage.backup", DocumentFrom("other backup"));
  HostInitializer first = Init();
  storage::NoThrowStorageFactory* failing = Open(first);
  HostInitializer second((dir_ / "other").string(), (dir_ / "defaults").string());
  storage::NoThrowStorageFactory* healthy = Open(second);
  EXPECT_EQ(second.calls, " Begin Succeeded");
  EXPECT_EQ(Names(Ref<IStorageSection>(healthy->GetRoot())->EnumKeys()), Strings{"from_other"});
  Confirm(failing);
  EXPECT_EQ(Content(dir_ / "other" / ".storage.backup"), DocumentFrom("other backup"));
  Confirm(healthy);
  EXPECT_EQ(Content(dir_ / "other" / ".storage.backup"), DocumentFrom("other"));
}

TEST_F(XmlFileTest, ParsedDocumentsKeepTheirTreeAliveAndRefuseWhatIsNoDocument) {
  Place(dir_ / "doc.xml",
        "<r><section name=\"s\"><key name=\"k\" value=\"7\" type=\"Integer\" size=\"4\"/></section></r>");
  const std::string text = Content(dir_ / "doc.xml").value();
  for (IStorageSection* adopted : {storage::GetXmlStorage(text.data(), static_cast<unsigned>(text.size())),
                                   storage::GetXmlStorage((dir_ / "doc.xml").string().c_str())}) {
    Ref<IStorageKey> key(Ref<IStorageSection>(Ref<IStorageSection>(adopted)->OpenSection("s"))->OpenKey("k"));
    int32_t value = 0;
    EXPECT_TRUE(key->Read(&value, sizeof value));
    EXPECT_EQ(value, 7);
  }
  Place(dir_ / "bad.xml", kCorrupt);
  EXPECT_EQ(storage::GetXmlStorage((dir_ / "missing.xml").string().c_str()), nullptr);
  EXPECT_EQ(storage::GetXmlStorage(nullptr), nullptr);
  EXPECT_THROW(storage::GetXmlStorage((dir_ / "bad.xml").string().c_str()), CVelXmlParseException);
  EXPECT_THROW(storage::GetXmlStorage("", 0), CVelXmlParseException);
}

// Keys are found after every change of their section: the first of two
// spellings in a file, then the other; a section of the same name apart; a
// key read, deleted and re-created; a thousand keys with every other one
// deleted and re-created.
TEST_F(XmlFileTest, KeysAreFoundAfterEveryChangeOfTheirSection) {
  const std::string text =
      "<r><key name=\"Dup\" value=\"1\" type=\"Integer\" size=\"4\"/><section name=\"dup\"/>"
      "<key name=\"DUP\" value=\"2\" type=\"Integer\" size=\"4\"/></r>";
  Ref<IStorageSection> root(storage::GetXmlStorage(text.data(), static_cast<unsigned>(text.size())));
  const auto read = [&](const std::string& name) {
    int32_t value = -1;
    try {
      Ref<IStorageKey>(root->OpenKey(name.c_str()))->Read(&value, sizeof value);
    } catch (const storage::OpenException&) {
    }
    return value;
  };
  const auto write = [&](const std::string& name, int32_t value) {
    Ref<IStorageKey>(root->CreateKey(name.c_str()))->Write(storage::TYPE_INTEGER, &value, sizeof value);
  };
  EXPECT_EQ(read("dup"), 1);
  EXPECT_TRUE(root->DeleteKey("dUp"));
  EXPECT_EQ(read("dup"), 2);
  EXPECT_TRUE(root->DeleteSection("Dup"));
  EXPECT_EQ(read("Dup"), 2);
  EXPECT_TRUE(root->DeleteKey("dup"));
  write("dup", 3);
  EXPECT_EQ(read("DUP"), 3);
  for (int i = 0; i < 1000; ++i) write("k" + std::to_string(i), i);
  for (int i = 0; i < 1000; i += 2) root->DeleteKey(("K" + std::to_string(i)).c_str());
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(read("k" + std::to_string(i)), i % 2 ? i : -1) << i;
  for (int i = 0; i < 1000; i += 2) write("K" + std::to_string(i), -i);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(read("k" + std::to_string(i)), i % 2 ? i : -i) << i;
  EXPECT_EQ(Names(root->EnumKeys()).size(), 1001u);
}

// Eight threads: each fills a section of its own and all of them change one
// shared section, while one thread saves; objects outlive the factory.
TEST_F(XmlFileTest, EightThreadsShareOneDocumentSafely) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 60;
  HostInitializer init = Init();
  storage::NoThrowStorageFactory* factory = Open(init);
  Ref<IStorageSection> root(factory->GetRoot());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      Ref<IStorageSection> own(root->CreateSection(("thread" + std::to_string(t)).c_str()));
      for (int round = 0; round < kRounds; ++round) {
        const int32_t value = t * 1000 + round;
        Ref<IStorageKey>(own->CreateKey(("k" + std::to_string(round)).c_str()))
            ->Write(storage::TYPE_INTEGER, &value, 4);
        Ref<IStorageSection> shared(root->CreateSection("shared\\inner"));
        Ref<IStorageKey>(shared->CreateKey("last"))->Write(storage::TYPE_INTEGER, &value, 4);
        Ref<IStorageKey>(shared->CreateKey(("t" + std::to_string(t)).c_str()))
            ->Write(storage::TYPE_INTEGER, &value, 4);
        Names(shared->EnumKeys());
        if (round % 3 == 0) shared->DeleteKey(("t" + std::to_string(t)).c_str());
        if (t == 0 && round % 20 == 0) factory->Save();
      }
    });
  }
  for (auto& thread : threads) thread.join();
  factory->Dispose();
  factories_.clear();
  for (int t = 0; t < kThreads; ++t) {
    Ref<IStorageSection> own(root->OpenSection(("thread" + std::to_string(t)).c_str()));
    EXPECT_EQ(Names(own->EnumKeys()).size(), static_cast<size_t>(kRounds));
    int32_t value = 0;
    Ref<IStorageKey>(own->OpenKey(("k" + std::to_string(kRounds - 1)).c_str()))->Read(&value, sizeof value);
    EXPECT_EQ(value, t * 1000 + kRounds - 1);
  }
  EXPECT_EQ(Names(Ref<IStorageSection>(root->OpenSection("shared/inner"))->EnumKeys()).size(), kThreads + 1u);
}

}  // namespace
}  // namespace settingstore::test
