// Saves killed at every file step, on every backend that writes files: the
// next start must find the previous save or the new one, whole, and never
// refuse to load. Then a registry writer killed at random moments.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "reliability/CrashSweep.h"
#include "reliability/StorageContent.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

// How a fresh start reads what a save left.
enum class Load { kHives, kDom, kDomLong, kXml, kBackup };

// One storage in a directory of its own. Helper runs are written as one
// text: "@" names the directory, "@name" a file in it, "$hives" the hives'
// segment name.
class Storage {
 public:
  Words Arguments(const std::string& run) const {
    Words words;
    std::istringstream in(run);
    for (std::string word; in >> word;)
      words.push_back(word == "$hives" ? segment_
                      : word[0] == '@' ? (path() / word.substr(1)).string()
                                       : word);
    return words;
  }
  int Run(const std::string& run) const { return HelperProcess(Arguments(run)).Wait(kHelperLimit); }
  const fs::path& path() const { return directory_.path(); }

  // The generation a fresh start finds, kMixedContent when it finds pieces of
  // two or refuses (the refusal's text then).
  int Read(Load load, std::string* refusal = nullptr) const {
    try {
      if (load == Load::kHives) {
        storage::PageManager manager;
        StartHives(manager, segment_, (path() / ".storage").string());
        return ReadHiveGeneration(manager);  // its own save runs at the end
      }
      if (load == Load::kBackup) fs::remove(path() / ".storage");
      const bool xml = load == Load::kXml || load == Load::kBackup;
      const storage::StorageType type = xml ? storage::STORAGE_XML : storage::STORAGE_SHARED_DOM;
      PathInitializer init(path().string());
      storage::NoThrowStorageFactory* factory = InitializeStorage(type, &init);
      const int generation = ReadGeneration(storage::Ref<storage::IStorageSection>(factory->GetRoot()).get(),
                                            load != Load::kDom);
      delete factory;
      if (!xml) DeinitializeStorage(type);
      return generation;
    } catch (const storage::TechnicalException& e) {
      if (refusal) *refusal = e.what();
    } catch (const storage::AssertException& e) {
      if (refusal) *refusal = e.What();
    }
    return kMixedContent;
  }

 private:
  TempDirectory directory_;
  const std::string segment_ = "Local\\reliability_" + directory_.path().filename().string() + "_";
};

struct Sweep {
  const char* name;
  Load load;
  // Helper runs that must finish, apart by ";"; "=N": a start must find
  // generation N; "damage": the settings file is cut short.
  const char* prepare;
  const char* save;       // the save killed at each step
  std::set<int> allowed;  // what a start may find after a kill
  std::set<int> seen;     // what some kill must leave: before and after the commit point
  int leastSteps;
};

const Sweep kSweeps[] = {
    // Two hive files, each temporary created, written and flushed before the commit point.
    {"hive files", Load::kHives, "hive $hives @.storage 1", "hive $hives @.storage 2", {1, 2}, {1, 2}, 6},
    // A node file and a string file, which refer to each other.
    {"shared DOM", Load::kDom, "dom @ 1;=1;dom @ 1", "dom @ 2", {1, 2}, {1, 2}, 6},
    // Long texts live in files of their own, which a session that frees them
    // must leave to the previous save until its own save is in place.
    {"DOM, long", Load::kDomLong, "dom @ 1 long;=1;dom @ 1 long", "dom @ 2 long", {1, 2}, {1, 2}, 6},
    // Created, written, flushed, renamed, directory flushed.
    {"XML save", Load::kXml, "xml @ 1 save;=1", "xml @ 2 save", {1, 2}, {1}, 4},
    {"XML dispose", Load::kXml, "xml @ 1 save;=1", "xml @ 2 dispose", {1, 2}, {1}, 4},
    // The settings file holds generation 2, its backup generation 1; the
    // confirmed load copies generation 2 over the backup, which alone is read.
    {"backup", Load::kBackup, "xml @ 1 save;xml @ 0 confirm;xml @ 2 save", "xml @ 0 confirm", {1, 2}, {1}, 4},
    // The damaged settings file is removed and the backup's bytes are written in its place.
    {"XML restore", Load::kXml, "xml @ 1 save;xml @ 0 confirm;damage", "xml @ 0 load", {1}, {}, 4},
};

TEST(CrashTest, EveryKillDuringASaveLeavesOneWholeGeneration) {
  for (const Sweep& sweep : kSweeps) {
    SCOPED_TRACE(sweep.name);
    const Storage storage;
    std::istringstream prepare(sweep.prepare);
    for (std::string run, refusal; std::getline(prepare, run, ';');) {
      if (run == "damage")
        std::ofstream(storage.path() / ".storage") << "<storage><section name=";
      else if (run[0] == '=')
        ASSERT_EQ(storage.Read(sweep.load, &refusal), std::stoi(run.substr(1))) << refusal;
      else
        ASSERT_EQ(storage.Run(run), kHelperDone);
    }
    ASSERT_TRUE(sweep.load != Load::kHives || EntriesWith(storage.path(), ".dm2").size() == 2u)
        << "two hive files";
    std::set<int> found;
    const int points =
        SweepCrashPoints(DirectorySnapshot(storage.path()), storage.Arguments(sweep.save), [&](int step) {
          std::string refusal;
          const int generation = storage.Read(sweep.load, &refusal);
          EXPECT_EQ(sweep.allowed.count(generation), 1u)
              << "after a kill at step " << step << ": "
              << (refusal.empty() ? std::to_string(generation) : refusal);
          found.insert(generation);
          // The start cleared what the killed save left.
          const bool cleared = EntriesWith(storage.path(), ".tmp.").empty() &&
                               EntriesWith(storage.path(), ".hivesave.").empty();
          EXPECT_TRUE(cleared || sweep.load != Load::kHives) << "step " << step;
        });
    EXPECT_GE(points, sweep.leastSteps);
    for (const int generation : sweep.seen) EXPECT_EQ(found.count(generation), 1u) << generation;
  }
}

// A kill after the commit point leaves a half-renamed set of hive files; the
// start that completes it may itself be killed at any of its steps.
TEST(CrashTest, CompletingAnInterruptedHiveSaveSurvivesKillsToo) {
  const Storage storage;
  ASSERT_EQ(storage.Run("hive $hives @.storage 1"), kHelperDone);
  const DirectorySnapshot clean(storage.path());
  // The first kill after the commit point: a manifest and unrenamed temporaries are left.
  int committed = 0;
  for (int step = 1; step <= kMostSteps && committed == 0; ++step) {
    clean.Restore();
    if (storage.Run("--crash-after " + std::to_string(step) + " hive $hives @.storage 2") != kKilledExit)
      break;
    bool manifest = false;
    for (const std::string& name : EntriesWith(storage.path(), ".hivesave."))
      manifest = manifest || name.find(".tmp.") == std::string::npos;
    if (manifest && !EntriesWith(storage.path(), ".dm2.tmp.").empty()) committed = step;
  }
  ASSERT_GT(committed, 0) << "no kill left a committed, half-renamed set";
  const int points = SweepCrashPoints(
      DirectorySnapshot(storage.path()), storage.Arguments("hive $hives @.storage 3"), [&](int step) {
        std::string refusal;
        const int generation = storage.Read(Load::kHives, &refusal);
        // The interrupted save was committed: generation 1 is no longer an answer.
        EXPECT_TRUE(generation == 2 || generation == 3)
            << "after a kill at step " << step << ": " << (refusal.empty() ? "mixed content" : refusal);
      });
  EXPECT_GE(points, 1);
}

std::vector<int32_t> Acknowledged(const std::string& path) {
  std::ifstream file(path);
  return {std::istream_iterator<int32_t>(file), std::istream_iterator<int32_t>()};
}

// The registry store: a writer killed at random moments of a run of writes
// loses none of the writes it was told had succeeded, and the store opens.
TEST(CrashTest, EveryAcknowledgedRegistryWriteSurvivesAKill) {
#ifdef _WIN32
  GTEST_SKIP() << "tests the SQLite registry store; on Windows the registry is the system's";
#endif
  TempDirectory directory;
  const std::string database = directory.File("registry.db");
  const std::string acknowledgements = directory.File("acknowledged");
  storage::SetRegistryDatabase(database.c_str());
  struct Reset {
    ~Reset() { storage::SetRegistryDatabase(nullptr); }
  } reset;
  std::mt19937 random(20261206);
  int32_t next = 0;
  size_t survived = 0;
  for (int kill = 0; kill < 6; ++kill) {
    {
      HelperProcess writer({"registry", database, acknowledgements, std::to_string(next)});
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
      EXPECT_NO_THROW(
          storage::Ref<storage::IStorageKey>(section->OpenKey(("k" + std::to_string(number)).c_str()))
              ->Read(&value, sizeof value))
          << "acknowledged key k" << number << " lost";
      EXPECT_EQ(value, number);
    }
    // The store still takes writes after the kill.
    EXPECT_TRUE(storage::Ref<storage::IStorageKey>(section->CreateKey("after"))
                    ->Write(storage::TYPE_INTEGER, &kill, 4));
    ASSERT_GT(numbers.size(), survived);
    survived = numbers.size();
    next = numbers.back() + 1000;
  }
}

}  // namespace
}  // namespace settingstore::test
