// The registry store: a writer killed at random moments of a run of writes
// loses none of the writes it was told had succeeded, and the store opens.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "reliability/CrashSweep.h"
#include "storage/storage.h"

namespace settingstore::test {
namespace {

// Points the registry backend at the database for the test, then back.
class RegistryDatabase {
 public:
  explicit RegistryDatabase(const std::string& path) { storage::SetRegistryDatabase(path.c_str()); }
  ~RegistryDatabase() { storage::SetRegistryDatabase(nullptr); }
  RegistryDatabase(const RegistryDatabase&) = delete;
  RegistryDatabase& operator=(const RegistryDatabase&) = delete;
};

std::vector<int32_t> Acknowledged(const std::string& path) {
  std::ifstream file(path);
  std::vector<int32_t> numbers;
  for (int32_t number; file >> number;) numbers.push_back(number);
  return numbers;
}

TEST(RegistryCrashTest, EveryAcknowledgedWriteSurvivesAKill) {
  TempDirectory directory;
  const std::string database = directory.File("registry.db");
  const std::string acknowledgements = directory.File("acknowledged");
  const RegistryDatabase use(database);
  std::mt19937 random(20261206);
  constexpr int kKills = 6;
  int32_t next = 0;
  size_t survived = 0;
  for (int kill = 0; kill < kKills; ++kill) {
    {
      HelperProcess writer({"registry", database, acknowledgements, std::to_string(next)});
      ASSERT_TRUE(writer.Started());
      // Killed at a random moment once its writes are under way.
      const auto deadline = std::chrono::steady_clock::now() + kHelperLimit;
      while (Acknowledged(acknowledgements).size() <= survived && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      std::this_thread::sleep_for(std::chrono::microseconds(random() % 100000));
      ASSERT_TRUE(writer.Running()) << "the writer stopped on its own";
      writer.Kill();
    }
    const std::vector<int32_t> numbers = Acknowledged(acknowledgements);
    storage::Ref<storage::IStorageSection> root(storage::GetRegStorage("HKCU"));
    storage::Ref<storage::IStorageSection> section(root->OpenSection("Software\\Reliability"));
    for (const int32_t number : numbers) {
      int32_t value = -1;
      try {
        storage::Ref<storage::IStorageKey> key(section->OpenKey(("k" + std::to_string(number)).c_str()));
        key->Read(&value, sizeof value);
      } catch (const storage::Exception& e) {
        ADD_FAILURE() << "acknowledged key k" << number << " lost: " << e.GetErrorCode();
      }
      EXPECT_EQ(value, number);
    }
    // The store still takes writes after the kill.
    storage::Ref<storage::IStorageKey> after(section->CreateKey("after"));
    EXPECT_TRUE(after->Write(storage::TYPE_INTEGER, &kill, sizeof kill));
    ASSERT_FALSE(numbers.empty());
    EXPECT_GT(numbers.size(), survived);
    survived = numbers.size();
    next = numbers.back() + 1000;
  }
  RecordProperty("acknowledged_writes", static_cast<int>(survived));
}

}  // namespace
}  // namespace settingstore::test
