// What is the registry backend's own: root keys and their names, the SQLite
// store behind it, and the retries of a store that answers "more data"
// (driven through the in-memory store a test injects answers into).
#include "platform/Registry.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <future>
#include <optional>
#include <string>
#include <typeinfo>
#include <vector>

#include "platform/MemoryRegistry.h"
#include "platform/RegistryStore.h"
#include "storage/storage.h"
#include "support/TempDirectory.h"

namespace settingstore::test {
namespace {

namespace reg = storage::platform;
using namespace storage;
using Strings = std::vector<std::string>;

// No test may reach the user's own registry store: for the whole run the
// default location is a file in a temporary directory.
class DefaultStoreGuard : public ::testing::Environment {
 public:
  void SetUp() override {
    directory_ = std::make_unique<TempDirectory>();
    setenv("SETTINGSTORE_REGISTRY_DB", directory_->File("default.db").c_str(), 1);
    reg::UseRegistryDatabase(nullptr);
  }
  void TearDown() override {
    reg::UseRegistryDatabase(nullptr);  // closes the file before it goes
    directory_.reset();
  }

 private:
  std::unique_ptr<TempDirectory> directory_;
};
[[maybe_unused]] const auto* const guard = ::testing::AddGlobalTestEnvironment(new DefaultStoreGuard);

// "ok", or the exact exception class and its code.
std::string Outcome(const std::function<void()>& call) {
  try {
    call();
  } catch (const Exception& e) {
    const std::type_info& t = typeid(e);
    const char* kind = t == typeid(OpenException)     ? "Open"
                       : t == typeid(CreateException) ? "Create"
                       : t == typeid(DeleteException) ? "Delete"
                       : t == typeid(IOException)     ? "IO"
                                                      : "Exception";
    return kind + (" " + std::to_string(e.GetErrorCode()));
  }
  return "ok";
}

reg::LSTATUS SetString(reg::HKEY key, const char* name, const std::string& text,
                       reg::DWORD type = reg::REG_SZ) {
  return reg::RegSetValueExA(key, name, 0, type, reinterpret_cast<const uint8_t*>(text.c_str()),
                             static_cast<reg::DWORD>(text.size() + 1));
}

// Text of a value of HKCU\<path>, or "<code N>".
std::string GetString(const char* path, const char* name) {
  reg::HKEY key = nullptr;
  char buffer[512] = {};
  reg::DWORD size = sizeof buffer;
  reg::LSTATUS result = reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, path, &key);
  if (result == 0)
    result = reg::RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<uint8_t*>(buffer), &size);
  if (key) reg::RegCloseKey(key);
  return result == 0 ? std::string(buffer) : "<code " + std::to_string(result) + ">";
}

Strings Names(INamesEnumerator* adopted) {
  Ref<INamesEnumerator> names(adopted);
  Strings seen;
  while (names->Next()) seen.emplace_back(names->Current());
  return seen;
}

std::string Text(IStorageSection* section, const char* name) {
  Ref<IStorageKey> key(section->OpenKey(name));
  std::string text(key->GetSize(), '\0');
  key->Read(text.data(), static_cast<unsigned>(text.size()));
  return text.c_str();
}

// Registry calls of the test reach an in-memory store of its own.
class MemoryStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    reg::UseRegistryStore(memory_);
    for (const char* path : {"HKCU\\Software", "HKLM\\Software"}) {
      Ref<IStorageSection>(Ref<IStorageSection>(GetRegStorage(path))->CreateSection("Reg\\Empty"));
    }
    Ref<IStorageSection>(Ref<IStorageSection>(GetRegStorage("HKCU"))->CreateSection("Software\\Other"));
    section_.reset(GetRegStorage("HKCU\\Software\\Reg"));
    for (const char* root : {"HKCU", "HKLM"}) {
      const std::string text(root);
      Ref<IStorageSection> section(GetRegStorage((std::string(root) + "\\Software\\Reg").c_str()));
      Ref<IStorageKey>(section->CreateKey("Where"))->Write(TYPE_STRING, text.c_str(), 5);
    }
  }
  void TearDown() override {
    section_.reset();
    reg::UseRegistryDatabase(nullptr);
  }
  // The calls of `operation` that `call` makes while the store answers `result` to each.
  unsigned Calls(reg::RegOperation operation, reg::LSTATUS result, const std::function<void()>& call,
                 unsigned times = reg::MemoryRegistry::kForever) {
    memory_->ResetCallCounts();
    memory_->InjectResult(operation, result, times);
    call();
    memory_->ClearInjections();
    return memory_->CallCount(operation);
  }

  std::shared_ptr<reg::MemoryRegistry> memory_ = std::make_shared<reg::MemoryRegistry>();
  Ref<IStorageSection> section_;
};

TEST_F(MemoryStoreTest, RootNamesAreExactAndOneSeparatorFollowsThem) {
  const std::pair<const char*, const char*> cases[] = {{"HKCU\\Software\\Reg", "HKCU"},
                                                       {"HKCU Software\\Reg", "HKCU"},
                                                       {"HKCU/Software\\reg", "HKCU"},
                                                       {"HKEY_CURRENT_USER\\software\\REG", "HKCU"},
                                                       {"HKLM\\Software\\Reg", "HKLM"},
                                                       {"HKEY_LOCAL_MACHINE Software\\Reg", "HKLM"},
                                                       {"HKCU\\\\Software\\Reg", "Open -6"},
                                                       {"HKCU/Software/Reg", "Open -2"},
                                                       {"HKCU\\Software\\Missing\\Deeper", "Open -2"},
                                                       {"HKCR\\Software", "Open -2"},
                                                       {"hkcu\\Software\\Reg", "Exception -2"},
                                                       {"Hkcu", "Exception -2"},
                                                       {"HKLMSoftware", "Exception -2"},
                                                       {"HKC", "Exception -2"},
                                                       {"", "Exception -2"},
                                                       {" HKCU", "Exception -2"},
                                                       {"HKCU_X", "Exception -2"},
                                                       {"HKEY_CURRENT_USERS", "Exception -2"},
                                                       {"HKU\\x", "Exception -2"},
                                                       {nullptr, "Exception -2"}};
  for (const auto& [path, expected] : cases) {
    std::string where;
    const std::string outcome =
        Outcome([&, path = path] { where = Text(Ref<IStorageSection>(GetRegStorage(path)).get(), "Where"); });
    EXPECT_EQ(outcome == "ok" ? where : outcome, expected) << (path ? path : "null");
  }
  EXPECT_EQ(Names(Ref<IStorageSection>(GetRegStorage("HKCU"))->EnumSections()), Strings{"Software"});
  // Root handles are never closed; any other handle only once.
  reg::HKEY key = nullptr;
  EXPECT_EQ(reg::RegCloseKey(reg::HKEY_CURRENT_USER), 0);
  EXPECT_EQ(reg::RegCloseKey(reg::HKEY_LOCAL_MACHINE), 0);
  ASSERT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, nullptr, &key), 0);
  EXPECT_EQ(reg::RegCloseKey(key), 0);
  EXPECT_EQ(reg::RegCloseKey(key), reg::kRegInvalidHandle);
  EXPECT_EQ(SetString(key, "v", "x"), reg::kRegInvalidHandle);
  EXPECT_EQ(GetString("Software\\Reg", "Where"), "HKCU");
}

TEST_F(MemoryStoreTest, ARootKeyAloneServesAsStorageAndPathsThatCannotOpenFailBeforeTheLoad) {
  const std::pair<const char*, const char*> cases[] = {{"HKCU", "ok"},
                                                       {nullptr, "Technical"},
                                                       {"HKCU\\Software\\Missing", "Open -2"},
                                                       {"hkcu", "Exception -2"}};
  for (const auto& [path, expected] : cases) {
    struct : IStorageInitializer {
      const char* path;
      Strings calls;
      const char* GetPath() override { return path; }
      const char* GetDefaultPath() override { return nullptr; }
      void OnLoadBegin() override { calls.push_back("Begin"); }
      void OnLoadSucceeded() override { calls.push_back("Succeeded"); }
      void OnLoadFailed() override { calls.push_back("Failed"); }
      bool RetryLoad() override { return false; }
      StorageCheckFunction GetCheckFunction() override { return nullptr; }
    } init;
    init.path = path;
    std::string outcome = "Technical";
    try {
      outcome = Outcome([&] {
        NoThrowStorageFactory* factory = InitializeStorage(STORAGE_REGISTRY, &init);
        EXPECT_EQ(Text(Ref<IStorageSection>(factory->GetRoot()->OpenSection("Software\\Reg")).get(), "Where"),
                  "HKCU");
        factory->Dispose();
      });
    } catch (const CheckStorageException&) {
    }
    EXPECT_EQ(outcome, expected);
    EXPECT_EQ(init.calls, (outcome == "ok" ? Strings{"Begin", "Succeeded"} : Strings{"Begin"}));
  }
  // The registry is opened, never created.
  EXPECT_EQ(Names(Ref<IStorageSection>(GetRegStorage("HKCU\\Software"))->EnumSections()),
            (Strings{"Other", "Reg"}));
}

TEST_F(MemoryStoreTest, ValuesOfOtherProgramsAndTheDefaultValue) {
  reg::HKEY key = nullptr;
  ASSERT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "Software\\Reg", &key), 0);
  ASSERT_EQ(SetString(key, "Expand", "%HOME%", reg::REG_EXPAND_SZ), 0);
  EXPECT_EQ(Text(section_.get(), "Expand"), "%HOME%");
  for (reg::DWORD type :
       {reg::REG_EXPAND_SZ, reg::REG_NONE, reg::REG_DWORD_BIG_ENDIAN, reg::REG_LINK, reg::DWORD{11}}) {
    ASSERT_EQ(SetString(key, "Other", "123", type), 0);
    EXPECT_EQ(Outcome([&] { Ref<IStorageKey>(section_->OpenKey("Other"))->GetType(); }), "Exception -6")
        << type;
    EXPECT_EQ(Ref<IStorageKey>(section_->OpenKey("Other"))->GetSize(), 4u);
  }
  reg::RegCloseKey(key);
  const std::pair<Type, unsigned long> pairs[] = {
      {TYPE_STRING, 1}, {TYPE_BINARY, 3}, {TYPE_INTEGER, 4}, {TYPE_MULTI_STRING, 7}};
  for (const auto& [type, registryType] : pairs) {
    EXPECT_EQ(GetRegType(type), registryType);
    EXPECT_EQ(GetRegType(registryType), type);
  }
  for (Type other : {TYPE_UNKNOWN, Type(5), Type(-1)}) EXPECT_EQ(GetRegType(other), 0xFFFFFFFFul) << other;
  for (unsigned long other : {0ul, 2ul, 5ul, 6ul, 8ul, 11ul, 0xFFFFFFFFul})
    EXPECT_EQ(GetRegType(other), TYPE_UNKNOWN);

  // The empty name is the key's default value: listed while it is set; a null name deletes it.
  Ref<IStorageKey>(section_->CreateKey(""))->Write(TYPE_STRING, "d", 2);
  EXPECT_EQ(Names(section_->EnumKeys()), (Strings{"Where", "Expand", "Other", ""}));
  EXPECT_TRUE(section_->DeleteKey(nullptr));
  EXPECT_EQ(Names(section_->EnumKeys()), (Strings{"Where", "Expand", "Other"}));
}

TEST_F(MemoryStoreTest, AnAnswerOfMoreDataIsRetriedTwelveTimesThenFailsWithTheOperationsClass) {
  Ref<IStorageKey> key(section_->OpenKey("Where"));
  char buffer[8];
  using Op = reg::RegOperation;
  const std::tuple<Op, std::function<void()>, const char*> cases[] = {
      {Op::kQueryValue, [&] { Ref<IStorageKey>(section_->OpenKey("Where")); }, "Open -6"},
      {Op::kQueryValue, [&] { Ref<IStorageKey>(section_->CreateKey("New")); }, "Create -6"},
      {Op::kOpenKey, [&] { Ref<IStorageSection>(section_->OpenSection("Empty")); }, "Open -6"},
      {Op::kCreateKey, [&] { Ref<IStorageSection>(section_->CreateSection("New")); }, "Create -6"},
      {Op::kOpenKey, [&] { section_->DeleteSection("Empty"); }, "Delete -6"},
      {Op::kQueryInfoKey, [&] { section_->DeleteSection("Empty"); }, "Delete -6"},
      {Op::kDeleteKey, [&] { section_->DeleteSection("Empty"); }, "Delete -6"},
      {Op::kQueryValue, [&] { section_->DeleteKey("Where"); }, "Delete -6"},
      {Op::kDeleteValue, [&] { section_->DeleteKey("Where"); }, "Delete -6"},
      {Op::kQueryInfoKey, [&] { Ref<INamesEnumerator>(section_->EnumKeys()); }, "IO -6"},
      {Op::kEnumValue, [&] { Ref<INamesEnumerator>(section_->EnumKeys()); }, "IO -6"},
      {Op::kQueryInfoKey, [&] { Ref<INamesEnumerator>(section_->EnumSections()); }, "IO -6"},
      {Op::kEnumKey, [&] { Ref<INamesEnumerator>(section_->EnumSections()); }, "IO -6"},
      {Op::kQueryValue, [&] { key->Read(buffer, sizeof buffer); }, "IO -6"},
      {Op::kSetValue, [&] { key->Write(TYPE_STRING, "a", 2); }, "IO -6"},
  };
  for (const auto& [operation, call, expected] : cases) {
    std::string outcome;
    EXPECT_EQ(Calls(operation, reg::kRegMoreData, [&, call = call] { outcome = Outcome(call); }), 12u)
        << expected;
    EXPECT_EQ(outcome, expected);
  }
  // Nothing was changed by the failed chains; the twelfth attempt may succeed.
  EXPECT_EQ(Text(section_.get(), "Where"), "HKCU");
  EXPECT_EQ(Names(section_->EnumSections()), Strings{"Empty"});
  EXPECT_EQ(
      Calls(
          Op::kSetValue, reg::kRegMoreData, [&] { EXPECT_TRUE(key->Write(TYPE_STRING, "xyz", 4)); }, 11),
      12u);
  EXPECT_EQ(Text(section_.get(), "Where"), "xyz");
  // A buffer too small fails after the retries and stays untouched.
  char small[2] = {'#', '#'};
  memory_->ResetCallCounts();
  EXPECT_EQ(Outcome([&] { key->Read(small, 2); }), "IO -6");
  EXPECT_EQ(memory_->CallCount(Op::kQueryValue), 12u);
  EXPECT_EQ(std::string(small, 2), "##");
  // Other answers, and the questions of type and size, are asked once.
  EXPECT_EQ(Calls(Op::kOpenKey, reg::kRegNotFound,
                  [&] { EXPECT_EQ(Outcome([&] { section_->OpenSection("Empty"); }), "Open -2"); }),
            1u);
  EXPECT_EQ(Calls(Op::kOpenKey, reg::kRegAccessDenied,
                  [&] { EXPECT_EQ(Outcome([&] { section_->OpenSection("Empty"); }), "Open -6"); }),
            1u);
  EXPECT_EQ(
      Calls(Op::kQueryValue, reg::kRegNotFound, [&] { Ref<IStorageKey>(section_->CreateKey("Where")); }), 1u);
  EXPECT_EQ(Calls(Op::kQueryValue, reg::kRegIoFailed,
                  [&] { EXPECT_EQ(Outcome([&] { section_->CreateKey("New"); }), "Create -6"); }),
            1u);
  EXPECT_EQ(Calls(Op::kQueryValue, reg::kRegMoreData,
                  [&] { EXPECT_EQ(Outcome([&] { key->GetType(); }), "IO -6"); }),
            1u);
  EXPECT_EQ(Calls(Op::kQueryValue, reg::kRegMoreData,
                  [&] { EXPECT_EQ(Outcome([&] { key->GetSize(); }), "IO -6"); }),
            1u);
  // A disturbed enumeration starts again and lists each name once.
  EXPECT_EQ(Calls(
                Op::kEnumValue, reg::kRegMoreData,
                [&] { EXPECT_EQ(Names(section_->EnumKeys()), Strings{"Where"}); }, 2),
            4u);
}

TEST_F(MemoryStoreTest, ChainsOfTwoThreadsOnOneObjectRunOneAfterTheOther) {
  Ref<IStorageKey> key(section_->OpenKey("Where"));
  const auto write = [&] { return Outcome([&] { key->Write(TYPE_STRING, "t", 2); }); };
  EXPECT_EQ(Calls(reg::RegOperation::kSetValue, reg::kRegMoreData,
                  [&] {
                    auto other = std::async(std::launch::async, write);
                    EXPECT_EQ(write(), "IO -6");
                    EXPECT_EQ(other.get(), "IO -6");
                  }),
            24u)
      << "each chain had its twelve attempts";
  // Whether a chain failed or succeeded, it leaves the retry lock free.
  memory_->InjectResult(reg::RegOperation::kSetValue, reg::kRegMoreData, 1);
  EXPECT_TRUE(key->Write(TYPE_STRING, "mine", 5));
  memory_->InjectResult(reg::RegOperation::kSetValue, reg::kRegMoreData, 1);
  auto after = std::async(std::launch::async, [&] { return key->Write(TYPE_STRING, "ok", 3); });
  ASSERT_EQ(after.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(after.get());
}

// Sets an environment variable for the scope and puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedVariable() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

class SqliteStoreTest : public ::testing::Test {
 protected:
  void TearDown() override { reg::UseRegistryDatabase(nullptr); }
  TempDirectory directory_;
  const std::string database_ = directory_.File("data/registry.db");
};

TEST_F(SqliteStoreTest, TheFileIsMadeWhereChosenAndKeepsValuesAcrossConnections) {
  {
    ScopedVariable chosen("SETTINGSTORE_REGISTRY_DB", "/somewhere/chosen.db");
    EXPECT_EQ(reg::DefaultRegistryDatabasePath(), "/somewhere/chosen.db");
    ScopedVariable unset("SETTINGSTORE_REGISTRY_DB", nullptr);
    ScopedVariable data("XDG_DATA_HOME", "/xdg");
    EXPECT_EQ(reg::DefaultRegistryDatabasePath(), "/xdg/settingstore/registry.db");
    ScopedVariable empty("XDG_DATA_HOME", "");
    ScopedVariable home("HOME", "/home/someone");
    EXPECT_EQ(reg::DefaultRegistryDatabasePath(), "/home/someone/.local/share/settingstore/registry.db");
  }
  ScopedVariable chosen("SETTINGSTORE_REGISTRY_DB", database_.c_str());
  reg::UseRegistryDatabase(nullptr);
  reg::HKEY key = nullptr;
  ASSERT_EQ(reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, "Software\\Kept", &key), 0);
  ASSERT_EQ(SetString(key, "Name", "value"), 0);
  reg::RegCloseKey(key);
  EXPECT_TRUE(std::filesystem::exists(database_));
  reg::UseRegistryDatabase(nullptr);  // away, and back on a fresh connection
  SetRegistryDatabase(database_.c_str());
  EXPECT_EQ(GetString("software\\kept", "NAME"), "value");
}

TEST_F(SqliteStoreTest, AnUnusableFileMakesEveryCallFailWithoutHarm) {
  std::filesystem::create_directories(database_);  // a directory where the file should be
  testing::internal::CaptureStderr();
  SetRegistryDatabase(database_.c_str());
  reg::HKEY key = nullptr;
  EXPECT_EQ(reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "Software", &key), reg::kRegIoFailed);
  EXPECT_EQ(SetString(reg::HKEY_CURRENT_USER, "v", "x"), reg::kRegIoFailed);
  EXPECT_EQ(key, nullptr);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("registry store"), std::string::npos);
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
  for (const char* name : {"v0", "v2", "v3", "v4"}) ASSERT_EQ(other->DeleteValue(key, name), 0);
  ASSERT_EQ(other->DeleteKey(Store::kCurrentUserId, {"Software", "Enumerated"}), 0);
  EXPECT_EQ(nameAt(1), "status " + std::to_string(reg::kRegKeyDeleted));
}

// Two processes write at once, each a key of its own per round and a value
// on a key both share; a value written here, its key still open, is already
// seen by them.
TEST_F(SqliteStoreTest, TwoProcessesWritingAtOnceLoseNothing) {
  constexpr int kCount = 25;
  SetRegistryDatabase(database_.c_str());
  reg::HKEY shared = nullptr;
  ASSERT_EQ(reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, "Software\\Concurrent\\Shared", &shared), 0);
  ASSERT_EQ(SetString(shared, "Greeting", "hello"), 0);
  std::vector<pid_t> writers;
  for (const std::string writer : {"First", "Second"}) {
    const pid_t pid = fork();
    if (pid == 0) {
      SetRegistryDatabase(database_.c_str());  // a connection and handles of its own
      reg::HKEY mine = nullptr;
      bool ok = reg::RegOpenKeyA(reg::HKEY_CURRENT_USER, "Software\\Concurrent\\Shared", &mine) == 0 &&
                GetString("Software\\Concurrent\\Shared", "greeting") == "hello";
      for (int i = 0; i < kCount && ok; ++i) {
        const std::string text = writer + "-" + std::to_string(i);
        const std::string path = "Software\\Concurrent\\" + writer + "\\k" + std::to_string(i);
        reg::HKEY own = nullptr;
        ok = reg::RegCreateKeyA(reg::HKEY_CURRENT_USER, path.c_str(), &own) == 0 &&
             SetString(own, "v", text) == 0 &&
             SetString(mine, (writer + "_" + std::to_string(i)).c_str(), text) == 0 &&
             GetString(path.c_str(), "v") == text;
        reg::RegCloseKey(own);
      }
      _exit(ok ? 0 : 1);
    }
    writers.push_back(pid);
  }
  for (pid_t pid : writers) {
    int status = -1;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_EQ(status, 0);
  }
  reg::DWORD values = 0;
  ASSERT_EQ(reg::RegQueryInfoKeyA(shared, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values,
                                  nullptr, nullptr, nullptr, nullptr),
            0);
  EXPECT_EQ(values, 2u * kCount + 1);
  reg::RegCloseKey(shared);
  for (const std::string writer : {"First", "Second"}) {
    for (int i = 0; i < kCount; ++i) {
      const std::string text = writer + "-" + std::to_string(i);
      EXPECT_EQ(GetString("Software\\Concurrent\\Shared", (writer + "_" + std::to_string(i)).c_str()), text);
      EXPECT_EQ(GetString(("Software\\Concurrent\\" + writer + "\\k" + std::to_string(i)).c_str(), "v"),
                text);
    }
  }
}

}  // namespace
}  // namespace settingstore::test
