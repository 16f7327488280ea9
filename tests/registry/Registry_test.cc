// What is the registry backend's own: root keys and their names, the SQLite
// store behind it, and the retries of a store that answers "more data"
// (driven through the in-memory store a test injects answers into).
#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "api/Storages.h"
#include "platform/RegistryStore.h"
#include "support/MemoryRegistry.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

namespace reg = storage::platform;
using namespace storage;

// No test may reach the user's own registry store: for the whole run the
// default location is a file in a temporary directory.
struct DefaultStoreGuard : ::testing::Environment {
  void SetUp() override { setenv("SETTINGSTORE_REGISTRY_DB", directory->File("default.db").c_str(), 1); }
  void TearDown() override {
    reg::UseRegistryDatabase(nullptr);  // closes the file before it goes
    directory.reset();
  }
  std::unique_ptr<TempDirectory> directory = std::make_unique<TempDirectory>();
};
[[maybe_unused]] const auto* const guard = ::testing::AddGlobalTestEnvironment(new DefaultStoreGuard);

// The text of a value.
std::string Text(IStorageSection* section, const char* name = "Where") {
  return ReadBytes(Ref<IStorageKey>(section->OpenKey(name)).get()).c_str();
}

// Registry calls of the test reach an in-memory store of its own.
class MemoryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reg::UseRegistryStore(memory_);
    for (const std::string root : {"HKLM", "HKCU"}) {
      section_.reset(
          Ref<IStorageSection>(GetRegStorage((root + "\\Software").c_str()))->CreateSection("Reg"));
      Ref<IStorageSection>(section_->CreateSection("Empty"));
      Ref<IStorageKey>(section_->CreateKey("Where"))->Write(TYPE_STRING, root.c_str(), 5);
    }
  }
  void TearDown() override {
    section_.reset();
    reg::UseRegistryDatabase(nullptr);
  }
  std::shared_ptr<reg::MemoryRegistry> memory_ = std::make_shared<reg::MemoryRegistry>();
  Ref<IStorageSection> section_;
};

// A path names its root exactly, then one separator.
TEST_F(MemoryStoreTest, RootNamesAreExactAndOneSeparatorFollowsThem) {
  // clang-format off
  const std::pair<const char*, const char*> cases[] = {
      {"HKEY_CURRENT_USER\\software\\REG", "HKCU"}, {"HKCU\\Software\\Missing\\Deeper", "Open -2"},
      {"HKEY_LOCAL_MACHINE Software\\Reg", "HKLM"}, {"hkcu\\Software\\Reg", "Exception -2"},
      {"HKCU\\Software\\Reg", "HKCU"}, {"HKCU/Software/Reg", "Open -2"}, {"HKLMSoftware", "Exception -2"},
      {"HKLM\\Software\\Reg", "HKLM"}, {"HKCU/Software\\reg", "HKCU"}, {"HKCR\\Software", "Open -2"},
      {"HKCU\\\\Software\\Reg", "Open -6"}, {"HKEY_CURRENT_USERS", "Exception -2"}, {" HKCU", "Exception -2"},
      {"HKU\\x", "Exception -2"}, {nullptr, "Exception -2"}, {"HKC", "Exception -2"}, {"", "Exception -2"}};
  // clang-format on
  for (const auto& [path, expected] : cases) {
    std::string where;
    const std::string outcome = Outcome([&, path = path] {
      where = Text(Ref<IStorageSection>(GetRegStorage(path)).get());
      return true;
    });
    EXPECT_EQ(outcome == "ok" ? where : outcome, expected) << path;
  }
  // The registry is opened, never created.
  EXPECT_EQ(Names(Ref<IStorageSection>(GetRegStorage("HKCU"))->EnumSections()), Strings{"Software"});
  EXPECT_EQ(Names(Ref<IStorageSection>(GetRegStorage("HKCU\\Software"))->EnumSections()), Strings{"Reg"});
  // Root handles are never closed; any other handle only once.
  reg::HKEY key = nullptr;
  EXPECT_EQ(reg::RegCloseKey(reg::HKEY_CURRENT_USER), 0);
  ASSERT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, nullptr, &key), 0);
  // A reserved word, or data without its size, is an invalid parameter.
  reg::DWORD reserved = 0, size = 4;
  uint8_t data[4];
  EXPECT_EQ(reg::RegQueryValueExA(key, "v", &reserved, nullptr, nullptr, &size), reg::kRegInvalidParameter);
  EXPECT_EQ(reg::RegQueryValueExA(key, "v", nullptr, nullptr, data, nullptr), reg::kRegInvalidParameter);
  EXPECT_EQ(reg::RegCloseKey(key), 0);
  EXPECT_EQ(reg::RegCloseKey(key), reg::kRegInvalidHandle);
  EXPECT_EQ(reg::RegSetValueExA(key, "v", 0, reg::REG_SZ, reinterpret_cast<const uint8_t*>("x"), 2),
            reg::kRegInvalidHandle);
  EXPECT_EQ(Text(Ref<IStorageSection>(GetRegStorage("HKCU\\Software\\Reg")).get()), "HKCU");
}

// A store answering "more data" is asked again, twelve times in all, then
// the call fails with its operation's class; other answers are final.
TEST_F(MemoryStoreTest, AnAnswerOfMoreDataIsRetriedTwelveTimesThenFailsWithTheOperationsClass) {
  Ref<IStorageKey> key(section_->OpenKey("Where"));
  char buffer[8];
  using enum reg::RegOperation;
  const reg::LSTATUS more = reg::kRegMoreData;
  const unsigned all = reg::MemoryRegistry::kForever;
  // clang-format off
  const std::tuple<reg::RegOperation, reg::LSTATUS, unsigned, std::function<bool()>, const char*, unsigned>
      cases[] = {
      {kQueryValue, more, all, [&] { return Made(section_->OpenKey("Where")); }, "Open -6", 12},
      {kQueryValue, more, all, [&] { return Made(section_->CreateKey("New")); }, "Create -6", 12},
      {kOpenKey, more, all, [&] { return Made(section_->OpenSection("Empty")); }, "Open -6", 12},
      {kCreateKey, more, all, [&] { return Made(section_->CreateSection("New")); }, "Create -6", 12},
      {kOpenKey, more, all, [&] { return section_->DeleteSection("Empty"); }, "Delete -6", 12},
      {kDeleteKey, more, all, [&] { return section_->DeleteSection("Empty"); }, "Delete -6", 12},
      {kDeleteValue, more, all, [&] { return section_->DeleteKey("Where"); }, "Delete -6", 12},
      {kEnumValue, more, all, [&] { return Made(section_->EnumKeys()); }, "IO -6", 12},
      {kEnumKey, more, all, [&] { return Made(section_->EnumSections()); }, "IO -6", 12},
      {kQueryValue, more, all, [&] { return key->Read(buffer, sizeof buffer); }, "IO -6", 12},
      {kSetValue, more, all, [&] { return key->Write(TYPE_STRING, "a", 2); }, "IO -6", 12},
      {kQueryValue, more, all, [&] { return key->GetType() != TYPE_UNKNOWN; }, "IO -6", 1},
      {kOpenKey, reg::kRegAccessDenied, all, [&] { return Made(section_->OpenSection("Empty")); }, "Open -6", 1},
      {kQueryValue, reg::kRegIoFailed, all, [&] { return Made(section_->CreateKey("New")); }, "Create -6", 1},
      {kQueryValue, 0, 0, [&] { return key->Read(buffer, 2); }, "IO -6", 12},  // a buffer too small
      {kSetValue, more, 11, [&] { return key->Write(TYPE_STRING, "xyz", 4); }, "ok", 12},
      {kEnumValue, more, 2, [&] { return Names(section_->EnumKeys()) == Strings{"Where"}; }, "ok", 4}};
  // clang-format on
  for (const auto& [operation, answer, times, call, expected, calls] : cases) {
    memory_->InjectResult(operation, answer, times);
    EXPECT_EQ(Outcome(call), expected);
    EXPECT_EQ(memory_->CallCount(operation), calls) << expected;
  }
  EXPECT_EQ(Text(section_.get()), "xyz");
}

class SqliteStoreTest : public ::testing::Test {
 protected:
  void TearDown() override { reg::UseRegistryDatabase(nullptr); }
  TempDirectory directory_;
  const std::string database_ = directory_.File("data/registry.db");
};

TEST_F(SqliteStoreTest, TheFileIsMadeWhereChosenAndKeepsValuesAcrossConnections) {
  const std::string guarded = std::getenv("SETTINGSTORE_REGISTRY_DB");
  const auto where = [](const char* chosen, const char* data) {
    chosen ? setenv("SETTINGSTORE_REGISTRY_DB", chosen, 1) : unsetenv("SETTINGSTORE_REGISTRY_DB");
    setenv("XDG_DATA_HOME", data, 1);
    setenv("HOME", "/home/someone", 1);
    return reg::DefaultRegistryDatabasePath();
  };
  EXPECT_EQ(where("/somewhere/chosen.db", "/xdg"), "/somewhere/chosen.db");
  EXPECT_EQ(where(nullptr, "/xdg"), "/xdg/settingstore/registry.db");
  EXPECT_EQ(where(nullptr, ""), "/home/someone/.local/share/settingstore/registry.db");
  where(database_.c_str(), "");
  reg::UseRegistryDatabase(nullptr);
  Ref<IStorageSection> kept(Ref<IStorageSection>(GetRegStorage("HKLM\\Software"))->CreateSection("Kept"));
  Ref<IStorageKey>(kept->CreateKey("Name"))->Write(TYPE_STRING, "value", 6);
  EXPECT_TRUE(std::filesystem::exists(database_));
  setenv("SETTINGSTORE_REGISTRY_DB", guarded.c_str(), 1);
  reg::UseRegistryDatabase(nullptr);  // away, and back on a fresh connection
  SetRegistryDatabase(database_.c_str());
  EXPECT_EQ(Text(Ref<IStorageSection>(GetRegStorage("HKLM\\software\\kept")).get(), "NAME"), "value");
  // A file that cannot be opened makes every call fail without harm.
  SetRegistryDatabase(directory_.path().c_str());
  reg::HKEY key = nullptr;
  EXPECT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "Software", &key), reg::kRegIoFailed);
}

// An enumeration reads a key's values once and answers later indexes from
// that copy; every change, by this connection or another, must still show.
TEST_F(SqliteStoreTest, AnEnumerationSeesChangesMadeBetweenItsSteps) {
  using Store = reg::RegistryStore;
  const std::shared_ptr<Store> here = reg::OpenPersistentRegistry(database_);
  const std::shared_ptr<Store> other = reg::OpenPersistentRegistry(database_);
  ASSERT_TRUE(here && other);
  Store::KeyId key = 0;
  ASSERT_EQ(here->OpenKey(Store::kCurrentUserId, {"Software", "Enumerated"}, true, &key), 0);
  for (const char* name : {"v0", "v1", "v2"}) ASSERT_EQ(here->SetValue(key, name, reg::REG_SZ, name), 0);
  const auto nameAt = [&](reg::DWORD index) {
    std::string name;
    Store::Value value;
    const reg::LSTATUS status = here->EnumValue(key, index, &name, &value);
    return status == 0 ? name : std::to_string(status);
  };
  EXPECT_EQ(nameAt(0), "v0");
  ASSERT_EQ(other->DeleteValue(key, "v1") + other->SetValue(key, "v3", reg::REG_SZ, "v3"), 0);
  EXPECT_EQ(nameAt(1), "v2");
  EXPECT_EQ(nameAt(2), "v3");
  ASSERT_EQ(here->SetValue(key, "v4", reg::REG_SZ, "v4"), 0);
  EXPECT_EQ(nameAt(3), "v4");
  EXPECT_EQ(nameAt(4), std::to_string(reg::kRegNoMoreItems));
  EXPECT_EQ(nameAt(0), "v0");
  for (const char* name : {"v0", "v2", "v3", "v4"}) ASSERT_EQ(other->DeleteValue(key, name), 0);
  ASSERT_EQ(other->DeleteKey(Store::kCurrentUserId, {"Software", "Enumerated"}), 0);
  EXPECT_EQ(nameAt(1), std::to_string(reg::kRegKeyDeleted));
}

// A value read again is answered from the last read while nothing was
// committed since; every commit in between, by either connection, must show.
TEST_F(SqliteStoreTest, AReadAgainSeesWhatWasCommittedInBetween) {
  using Store = reg::RegistryStore;
  const std::shared_ptr<Store> here = reg::OpenPersistentRegistry(database_);
  const std::shared_ptr<Store> other = reg::OpenPersistentRegistry(database_);
  ASSERT_TRUE(here && other);
  Store::KeyId key = 0;
  ASSERT_EQ(here->OpenKey(Store::kCurrentUserId, {"Software", "Read"}, true, &key), 0);
  const auto read = [&] {
    Store::Value value;
    const reg::LSTATUS status = here->QueryValue(key, "v", &value);
    return status == 0 ? value.data : std::to_string(status);
  };
  const std::vector<std::pair<std::function<reg::LSTATUS()>, std::string>> cases = {
      {[&] { return other->SetValue(key, "v", reg::REG_SZ, "one"); }, "one"},
      {[&] { return other->SetValue(key, "v", reg::REG_SZ, "two"); }, "two"},
      {[&] { return here->SetValue(key, "v", reg::REG_SZ, "own"); }, "own"},
      {[&] { return other->DeleteValue(key, "v"); }, std::to_string(reg::kRegNotFound)},
      {[&] { return other->DeleteKey(Store::kCurrentUserId, {"Software", "Read"}); },
       std::to_string(reg::kRegKeyDeleted)}};
  for (const auto& [change, expected] : cases) {
    const std::string before = read();
    EXPECT_EQ(read(), before);
    ASSERT_EQ(change(), 0) << expected;
    EXPECT_EQ(read(), expected);
  }
}

// Two processes write at once, each a key of its own per round and a value
// on a key both share; a value written here, its key still open, is already
// seen by them.
TEST_F(SqliteStoreTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kCount = 25;
  SetRegistryDatabase(database_.c_str());
  Ref<IStorageSection> concurrent(
      Ref<IStorageSection>(GetRegStorage("HKCU\\Software"))->CreateSection("Concurrent"));
  Ref<IStorageSection> shared(concurrent->CreateSection("Shared"));
  Ref<IStorageKey>(shared->CreateKey("Greeting"))->Write(TYPE_STRING, "hello", 6);
  std::vector<pid_t> writers;
  for (const std::string writer : {"First", "Second"}) {
    if (const pid_t pid = fork(); pid != 0) {
      writers.push_back(pid);
      continue;
    }
    try {  // with a connection and sections of its own
      SetRegistryDatabase(database_.c_str());
      Ref<IStorageSection> mine(GetRegStorage("HKCU\\Software\\Concurrent\\Shared"));
      bool ok = Text(mine.get(), "greeting") == "hello";
      for (int i = 0; i < kCount && ok; ++i) {
        const std::string text = writer + "-" + std::to_string(i),
                          path = "Software\\Concurrent\\" + writer + "\\k" + std::to_string(i);
        Ref<IStorageSection> own(Ref<IStorageSection>(GetRegStorage("HKCU"))->CreateSection(path.c_str()));
        ok = Ref<IStorageKey>(own->CreateKey("v"))->Write(TYPE_STRING, text.c_str(), text.size() + 1) &&
             Ref<IStorageKey>(mine->CreateKey((writer + "_" + std::to_string(i)).c_str()))
                 ->Write(TYPE_STRING, text.c_str(), text.size() + 1) &&
             Text(Ref<IStorageSection>(GetRegStorage(("HKCU\\" + path).c_str())).get(), "v") == text;
      }
      _exit(ok ? 0 : 1);
    } catch (...) {
      _exit(2);
    }
  }
  for (pid_t pid : writers) {
    int status = -1;
    EXPECT_TRUE(waitpid(pid, &status, 0) == pid && status == 0) << status;
  }
  EXPECT_EQ(Names(shared->EnumKeys()).size(), 2u * kCount + 1);
  for (const std::string writer : {"First", "Second"}) {
    for (int i = 0; i < kCount; ++i) {
      const std::string text = writer + "-" + std::to_string(i);
      EXPECT_EQ(Text(shared.get(), (writer + "_" + std::to_string(i)).c_str()), text);
      const std::string path = "HKCU\\Software\\Concurrent\\" + writer + "\\k" + std::to_string(i);
      EXPECT_EQ(Text(Ref<IStorageSection>(GetRegStorage(path.c_str())).get(), "v"), text);
    }
  }
}

}  // namespace
}  // namespace settingstore::test
