// Support for the registry backend tests: a fresh registry store per test
// (in memory, or a SQLite database in a temporary directory), exact checks of
// the exceptions the backend throws, and small readers of names and values.
#ifndef SETTINGSTORE_TESTS_REGISTRY_REGISTRYBACKENDSUPPORT_H
#define SETTINGSTORE_TESTS_REGISTRY_REGISTRYBACKENDSUPPORT_H

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "registry/RegistryTestSupport.h"
#include "storage/storage.h"

namespace settingstore::test {

using storage::Ref;

// Passes when `call` throws exactly the exception class E carrying `code`.
template <class E, class Call>
::testing::AssertionResult Throws(Call&& call, int32_t code) {
  try {
    call();
  } catch (const storage::Exception& e) {
    if (typeid(e) != typeid(E)) {
      return ::testing::AssertionFailure()
             << "threw " << typeid(e).name() << " instead of " << typeid(E).name();
    }
    if (e.GetErrorCode() != code) return ::testing::AssertionFailure() << "code " << e.GetErrorCode();
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "nothing was thrown";
}

#define EXPECT_STORAGE_ERROR(statement, Class, code) \
  EXPECT_TRUE(::settingstore::test::Throws<Class>([&] { (void)(statement); }, (code)))

// Every name of the enumerator, which is released.
inline std::vector<std::string> Names(storage::INamesEnumerator* adopted) {
  Ref<storage::INamesEnumerator> names(adopted);
  std::vector<std::string> seen;
  while (names->Next()) seen.emplace_back(names->Current());
  return seen;
}

inline void WriteString(storage::IStorageSection& section, const char* name, const std::string& text) {
  Ref<storage::IStorageKey> key(section.CreateKey(name));
  ASSERT_TRUE(key->Write(storage::TYPE_STRING, text.c_str(), static_cast<unsigned>(text.size() + 1)));
}

inline std::string ReadString(storage::IStorageSection& section, const char* name) {
  Ref<storage::IStorageKey> key(section.OpenKey(name));
  std::string text(key->GetSize(), '\0');
  EXPECT_TRUE(key->Read(text.data(), static_cast<unsigned>(text.size())));
  if (!text.empty() && text.back() == '\0') text.pop_back();
  return text;
}

enum class StoreKind { kMemory, kSqlite };

inline std::string StoreName(const ::testing::TestParamInfo<StoreKind>& info) {
  return info.param == StoreKind::kMemory ? "Memory" : "Sqlite";
}

// Makes the registry calls of this process reach a store of its own for the
// test's duration; afterwards the suite's default store is active again.
class StoreScope {
 public:
  explicit StoreScope(StoreKind kind) {
    if (kind == StoreKind::kMemory) {
      memory_ = std::make_shared<reg::MemoryRegistry>();
      reg::UseRegistryStore(memory_);
    } else {
      directory_ = std::make_unique<TempDirectory>();
      reg::UseRegistryDatabase(directory_->File("registry.db").c_str());
    }
  }
  ~StoreScope() { reg::UseRegistryDatabase(nullptr); }  // closes the database before it goes
  StoreScope(const StoreScope&) = delete;
  StoreScope& operator=(const StoreScope&) = delete;

  // The in-memory store; null for the SQLite one.
  reg::MemoryRegistry* memory() const { return memory_.get(); }

 private:
  std::shared_ptr<reg::MemoryRegistry> memory_;
  std::unique_ptr<TempDirectory> directory_;
};

// Each test works in HKCU\Software\RegistryBackendTest of a fresh store.
class RegistryBackendTest : public ::testing::TestWithParam<StoreKind> {
 protected:
  RegistryBackendTest() : store_(GetParam()) {}

  void SetUp() override {
    Ref<storage::IStorageSection> software(storage::GetRegStorage("HKCU\\Software"));
    section_.reset(software->CreateSection("RegistryBackendTest"));
  }
  void TearDown() override { section_.reset(); }

  storage::IStorageSection& section() { return *section_; }
  reg::MemoryRegistry* memory() const { return store_.memory(); }

 private:
  StoreScope store_;
  Ref<storage::IStorageSection> section_;
};

}  // namespace settingstore::test

#endif  // SETTINGSTORE_TESTS_REGISTRY_REGISTRYBACKENDSUPPORT_H
