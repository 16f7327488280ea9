// The persistent store: what outlives a connection or a process, where the
// file lives, and two processes writing at once.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>

#include "RegistryTestSupport.h"
#include "storage/storage.h"
#include "support/HelperProcess.h"

namespace settingstore::test {
namespace {

class SqliteRegistryTest : public ::testing::Test {
 protected:
  void TearDown() override { reg::UseRegistryDatabase(nullptr); }

  TempDirectory directory_;
  const std::string database_ = directory_.File("data/registry.db");
};

// Sets an environment variable for the scope and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedVariable() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }
  ScopedVariable(const ScopedVariable&) = delete;
  ScopedVariable& operator=(const ScopedVariable&) = delete;

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST_F(SqliteRegistryTest, ChosenFileIsMadeAndKeepsValuesAcrossConnections) {
  storage::SetRegistryDatabase(database_.c_str());
  {
    KeyHandle key;
    ASSERT_EQ(reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, "Software\\Kept", key.Out()), 0);
    ASSERT_EQ(SetString(key.get(), "Name", "value"), 0);
  }
  EXPECT_TRUE(std::filesystem::exists(database_));

  reg::UseRegistryDatabase(nullptr);  // away, and back on a fresh connection
  storage::SetRegistryDatabase(database_.c_str());
  KeyHandle key;
  ASSERT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "software\\kept", key.Out()), 0);
  EXPECT_EQ(GetString(key.get(), "NAME"), "value");
}

TEST_F(SqliteRegistryTest, DefaultLocationFollowsTheEnvironment) {
  {
    ScopedVariable chosen("SETTINGSTORE_REGISTRY_DB", "/somewhere/chosen.db");
    ScopedVariable data("XDG_DATA_HOME", "/xdg");
    EXPECT_EQ(reg::DefaultRegistryDatabasePath(), "/somewhere/chosen.db");
  }
  {
    ScopedVariable chosen("SETTINGSTORE_REGISTRY_DB", nullptr);
    ScopedVariable data("XDG_DATA_HOME", "/xdg");
    EXPECT_EQ(reg::DefaultRegistryDatabasePath(), "/xdg/settingstore/registry.db");
  }
  ScopedVariable chosen("SETTINGSTORE_REGISTRY_DB", nullptr);
  ScopedVariable data("XDG_DATA_HOME", "");
  ScopedVariable home("HOME", "/home/someone");
  EXPECT_EQ(reg::DefaultRegistryDatabasePath(), "/home/someone/.local/share/settingstore/registry.db");
}

TEST_F(SqliteRegistryTest, DefaultStoreOpensAtTheEnvironmentsFile) {
  ScopedVariable chosen("SETTINGSTORE_REGISTRY_DB", database_.c_str());
  reg::UseRegistryDatabase(nullptr);
  KeyHandle key;
  ASSERT_EQ(reg::RegCreateKeyA(reg::HKEY_LOCAL_MACHINE, "Software\\ViaEnvironment", key.Out()), 0);
  EXPECT_TRUE(std::filesystem::exists(database_));
}

TEST_F(SqliteRegistryTest, UnusableFileMakesEveryCallFailWithoutHarm) {
  std::filesystem::create_directories(database_);  // a directory where the file should be
  testing::internal::CaptureStderr();
  storage::SetRegistryDatabase(database_.c_str());
  KeyHandle key;
  EXPECT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "Software", key.Out()), reg::kRegIoFailed);
  EXPECT_EQ(SetString(reg::HKEY_CURRENT_USER, "v", "x"), reg::kRegIoFailed);
  EXPECT_EQ(key.get(), nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("registry store"), std::string::npos);
}

TEST_F(SqliteRegistryTest, ValueWrittenHereIsReadByAProcessStartedLater) {
  storage::SetRegistryDatabase(database_.c_str());
  {
    KeyHandle key;
    ASSERT_EQ(reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, "Software\\Handover", key.Out()), 0);
    ASSERT_EQ(SetString(key.get(), "Greeting", "hello"), 0);
    // Still open here: the value is committed already.
    HelperProcess reader({"expect", database_, "Software\\Handover", "greeting", "hello"});
    EXPECT_EQ(reader.Wait(), 0);
  }
  HelperProcess wrong({"expect", database_, "Software\\Handover", "Greeting", "bye"});
  EXPECT_EQ(wrong.Wait(), 1) << "the reader tells a different value apart";
}

// An enumeration reads a key's values once and answers later indexes from
// that copy; every change, by this connection or another, must still show.
TEST_F(SqliteRegistryTest, AnEnumerationSeesChangesMadeBetweenItsSteps) {
  using Store = storage::platform::RegistryStore;
  const std::shared_ptr<Store> here = storage::platform::OpenPersistentRegistry(database_);
  const std::shared_ptr<Store> other = storage::platform::OpenPersistentRegistry(database_);
  ASSERT_TRUE(here && other);
  Store::KeyId key = 0;
  ASSERT_EQ(here->OpenKey(Store::kCurrentUserId, {"Software", "Enumerated"}, true, &key), 0);
  for (const char* name : {"v0", "v1", "v2"}) ASSERT_EQ(here->SetValue(key, name, reg::REG_SZ, name), 0);
  const auto nameAt = [&](reg::DWORD index) {
    std::string name;
    Store::Value value;
    const reg::LSTATUS status = here->EnumValue(key, index, &name, &value);
    return status == 0 ? name : "status " + std::to_string(status);
  };

  EXPECT_EQ(nameAt(0), "v0");
  ASSERT_EQ(other->DeleteValue(key, "v1"), 0);
  ASSERT_EQ(other->SetValue(key, "v3", reg::REG_SZ, "v3"), 0);
  EXPECT_EQ(nameAt(1), "v2");
  EXPECT_EQ(nameAt(2), "v3");
  ASSERT_EQ(here->SetValue(key, "v4", reg::REG_SZ, "v4"), 0);
  EXPECT_EQ(nameAt(3), "v4");
  EXPECT_EQ(nameAt(4), "status " + std::to_string(reg::kRegNoMoreItems));

  EXPECT_EQ(nameAt(0), "v0");
  ASSERT_EQ(other->DeleteValue(key, "v0"), 0);
  ASSERT_EQ(other->DeleteValue(key, "v2"), 0);
  ASSERT_EQ(other->DeleteValue(key, "v3"), 0);
  ASSERT_EQ(other->DeleteValue(key, "v4"), 0);
  ASSERT_EQ(other->DeleteKey(Store::kCurrentUserId, {"Software", "Enumerated"}), 0);
  EXPECT_EQ(nameAt(1), "status " + std::to_string(reg::kRegKeyDeleted));
}

TEST_F(SqliteRegistryTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kCount = 25;
  {
    HelperProcess first({"write", database_, "First", std::to_string(kCount)});
    HelperProcess second({"write", database_, "Second", std::to_string(kCount)});
    ASSERT_EQ(first.Wait(), 0);
    ASSERT_EQ(second.Wait(), 0);
  }
  storage::SetRegistryDatabase(database_.c_str());
  KeyHandle shared;
  ASSERT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "Software\\Concurrent\\Shared", shared.Out()), 0);
  reg::DWORD values = 0;
  ASSERT_EQ(reg::RegQueryInfoKeyA(shared.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                  nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(values, 2u * kCount);
  for (const std::string writer : {"First", "Second"}) {
    for (int i = 0; i < kCount; ++i) {
      const std::string text = writer + "-" + std::to_string(i);
      EXPECT_EQ(GetString(shared.get(), (writer + "_" + std::to_string(i)).c_str()), text);
      KeyHandle own;
      const std::string path = "Software\\Concurrent\\" + writer + "\\k" + std::to_string(i);
      ASSERT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, path.c_str(), own.Out()), 0) << path;
      EXPECT_EQ(GetString(own.get(), "v"), text);
    }
  }
}

}  // namespace
}  // namespace settingstore::test
