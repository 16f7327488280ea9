// What the tool does across backends and on its own: the dump format, copies
// between backends, options and exit statuses.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "cli/CliRunner.h"

namespace settingstore::test {
namespace {

class ToolTest : public ::testing::Test {
 protected:
  std::string ok(const std::vector<std::string>& arguments) {
    const CliResult result = runner_.run(arguments);
    EXPECT_EQ(result.status, 0) << result.err;
    return result.out;
  }

  CliRunner runner_;
};

TEST_F(ToolTest, DumpWritesTheXmlBackendsOwnFile) {
  // Written in sorted order, so the backend's file and the (sorted) dump agree.
  ok(XmlStorage(runner_) + std::vector<std::string>{"set", "--type", "binary", "App", "Blob", "00ff"});
  ok(XmlStorage(runner_) + std::vector<std::string>{"set", "--type", "multi", "App", "Names", "x", "y"});
  ok(XmlStorage(runner_) + std::vector<std::string>{"set", "App", "Text", "a<b&\"c\""});
  ok(XmlStorage(runner_) + std::vector<std::string>{"set", "--type", "int", "App/Sub", "N", "5"});
  EXPECT_EQ(ok(XmlStorage(runner_) + std::vector<std::string>{"dump"}), runner_.readFile("xml/.storage"));
}

TEST_F(ToolTest, ADumpFromXmlLoadedIntoTheRegistryDumpsIdentically) {
  const std::vector<std::vector<std::string>> writes = {
      {"set", "Root/A", "Text", "t\xe9xt"},
      {"set", "--type", "int", "Root/A", "N", "-3"},
      {"set", "--type", "binary", "Root", "B", "0001ff"},
      {"set", "--type", "multi", "Root/A/Deep", "M", "1", "2", "3"},
  };
  for (const auto& write : writes) ok(XmlStorage(runner_) + write);
  const std::string fromXml = ok(XmlStorage(runner_) + std::vector<std::string>{"dump"});
  runner_.writeFile("tree.xml", fromXml);

  ok(RegistryStorage(runner_) + std::vector<std::string>{"load", runner_.file("tree.xml")});
  EXPECT_EQ(ok(RegistryStorage(runner_) + std::vector<std::string>{"dump"}), fromXml);
  EXPECT_EQ(ok(RegistryStorage(runner_) + std::vector<std::string>{"get", "Root/A/Deep", "M"}), "1\n2\n3\n");
}

// A read of a storage that is not there (a mistyped --path) is "not found"
// and makes nothing; a write makes the storage.
TEST_F(ToolTest, ReadsOfNoStorageAreNotFoundAndMakeNothing) {
  const std::string missing = runner_.file("no/such");
  const std::vector<std::string> registry = {"--type", "registry", "--registry-db", missing + "/registry.db"};
  const std::vector<std::vector<std::string>> reads = {
      {"--type", "xml", "--path", missing, "ls"},
      {"--type", "xml", "--path", missing, "get", "S", "K"},
      {"--type", "xml", "--path", missing, "dump"},
      {"--type", "xml", "--path", runner_.file("xml"), "ls"},  // a directory without a storage
      {"--type", "shared", "--path", missing, "ls"},
      {"--type", "shared", "--path", missing, "check"},
      {"--type", "shared", "--path", missing, "stat"},
      registry + std::vector<std::string>{"--path", "HKCU\\Software\\X", "ls"},
  };
  std::filesystem::create_directories(runner_.file("xml"));
  for (const auto& read : reads) {
    const CliResult result = runner_.run(read);
    EXPECT_EQ(result.status, 1) << read[3] << " " << read[4];
    EXPECT_EQ(result.err.rfind("settingstore: no storage at '", 0), 0u) << result.err;
  }
  EXPECT_FALSE(std::filesystem::exists(runner_.file("no")));
  EXPECT_TRUE(std::filesystem::is_empty(runner_.file("xml")));

  for (const char* type : {"xml", "shared"}) {
    const std::string path = missing + "/" + type;
    ok({"--type", type, "--path", path, "set", "S", "K", "v"});
    EXPECT_EQ(ok({"--type", type, "--path", path, "get", "S", "K"}), "v\n") << type;
  }
}

// The tool takes registry roots in any case and in their long forms, names an
// unknown one, and says when the registry's database is no database.
TEST_F(ToolTest, RegistryRootsAndDatabases) {
  const std::vector<std::string> registry = {"--type", "registry", "--registry-db",
                                             runner_.file("registry.db")};
  ok(registry + std::vector<std::string>{"--path", "HKCU\\Software\\Roots", "set", "S", "K", "v"});
  for (const char* path : {"hkcu\\Software\\Roots", "HKEY_CURRENT_USER/Software/Roots",
                           "hKey_Current_User\\software\\roots", "Hkcu Software\\Roots"}) {
    EXPECT_EQ(ok(registry + std::vector<std::string>{"--path", path, "get", "S", "K"}), "v\n") << path;
  }
  const CliResult unknown = runner_.run(registry + std::vector<std::string>{"--path", "HKXX\\foo", "ls"});
  EXPECT_EQ(unknown.status, 2);
  EXPECT_EQ(unknown.err.rfind("settingstore: unknown registry root 'HKXX'", 0), 0u) << unknown.err;

  runner_.writeFile("text.db", std::string(8192, 'x'));
  for (const char* path : {"HKCU\\Software\\X", "HKCU"}) {
    const CliResult result =
        runner_.run({"--type", "registry", "--registry-db", runner_.file("text.db"), "--path", path, "ls"});
    EXPECT_EQ(result.status, 3) << path;
    EXPECT_NE(result.err.find("file is not a database"), std::string::npos) << result.err;
    // The library's log lines too read as the tool's own.
    for (size_t line = 0; line < result.err.size(); line = result.err.find('\n', line) + 1) {
      EXPECT_EQ(result.err.compare(line, 14, "settingstore: "), 0) << result.err;
    }
  }
  EXPECT_EQ(runner_.readFile("text.db"), std::string(8192, 'x'));
}

TEST_F(ToolTest, ADamagedXmlFileIsMovedAsideAndReportedAndAnUnreadableOneIsLeftAlone) {
  ok(XmlStorage(runner_) + std::vector<std::string>{"set", "S", "K", "v"});
  ok(XmlStorage(runner_) + std::vector<std::string>{"get", "S", "K"});  // its load makes the backup
  runner_.writeFile("xml/.storage", "<settings><key");
  const CliResult damaged =
      runner_.run(XmlStorage(runner_) + std::vector<std::string>{"set", "S", "K2", "w"});
  EXPECT_EQ(damaged.status, 3);
  for (const std::string& told :
       {"settingstore: " + runner_.file("xml/.storage") + " is damaged",
        "moved it to " + runner_.file("xml/.storage.damaged"),
        "settingstore: Loaded " + runner_.file("xml/.storage.backup") + " instead"}) {
    EXPECT_NE(damaged.err.find(told), std::string::npos) << damaged.err;
  }
  EXPECT_EQ(runner_.readFile("xml/.storage.damaged"), "<settings><key");
  EXPECT_EQ(ok(XmlStorage(runner_) + std::vector<std::string>{"get", "S", "K"}), "v\n");
  EXPECT_EQ(runner_.run(XmlStorage(runner_) + std::vector<std::string>{"get", "S", "K2"}).status, 1)
      << "a command was run on a storage found damaged";

  // Running as root, a directory is what cannot be read.
  std::filesystem::remove(runner_.file("xml/.storage"));
  std::filesystem::create_directory(runner_.file("xml/.storage"));
  const CliResult unreadable = runner_.run(XmlStorage(runner_) + std::vector<std::string>{"ls"});
  EXPECT_EQ(unreadable.status, 3);
  EXPECT_EQ(unreadable.err.rfind("settingstore: Cannot read " + runner_.file("xml/.storage"), 0), 0u)
      << unreadable.err;
  EXPECT_TRUE(std::filesystem::is_directory(runner_.file("xml/.storage")));
  EXPECT_TRUE(std::filesystem::exists(runner_.file("xml/.storage.backup")));
}

// The default file is never written, so its damage is no loss: the command runs.
TEST_F(ToolTest, ADamagedDefaultFileIsLeftAloneAndTheCommandRuns) {
  std::filesystem::create_directories(runner_.file("xml"));
  runner_.writeFile("xml/.storage.default", "<settings><key");
  ok(XmlStorage(runner_) + std::vector<std::string>{"set", "S", "K", "v"});
  EXPECT_EQ(ok(XmlStorage(runner_) + std::vector<std::string>{"get", "S", "K"}), "v\n");
  EXPECT_EQ(runner_.readFile("xml/.storage.default"), "<settings><key");
}

TEST_F(ToolTest, ConcurrentWritersToOneXmlStorageKeepEveryWrite) {
  constexpr int kWriters = 3;
  constexpr int kWrites = 12;
  const std::vector<std::string> storage = XmlStorage(runner_);
  std::vector<std::vector<int>> statuses(kWriters);
  std::vector<std::thread> writers;
  for (int writer = 0; writer < kWriters; ++writer) {
    writers.emplace_back([&storage, &statuses, writer] {
      const CliRunner own;  // each writer's output files apart
      for (int write = 0; write < kWrites; ++write) {
        const std::vector<std::string> set{"set", "W" + std::to_string(writer), "K" + std::to_string(write),
                                           "v"};
        statuses[writer].push_back(own.run(storage + set).status);
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  const std::string listing = ok(storage + std::vector<std::string>{"ls", "-r"});
  for (int writer = 0; writer < kWriters; ++writer) {
    for (int write = 0; write < kWrites; ++write) {
      const std::string key = "W" + std::to_string(writer) + "/K" + std::to_string(write) + "\t";
      EXPECT_EQ(statuses[writer][write], 0) << key;
      EXPECT_NE(listing.find(key), std::string::npos) << key << " was acknowledged and lost";
    }
  }
}

TEST_F(ToolTest, ARunEndsOnlyAfterItsBackupCopyAndClearsWhatEndedWritersLeft) {
  // Large enough that writing the copy outlasts the rest of the run.
  runner_.writeFile("blob", std::string(3 << 20, 'x'));
  ok(XmlStorage(runner_) +
     std::vector<std::string>{"set", "--type", "binary", "--from-file", runner_.file("blob"), "Big", "Blob"});
  ok(XmlStorage(runner_) + std::vector<std::string>{"set", "S", "K", "v"});
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  ASSERT_EQ(waitpid(ended, nullptr, 0), ended);
  const std::string stale = "xml/.storage.backup.tmp." + std::to_string(ended) + ".0";
  runner_.writeFile(stale, "half a copy");

  ok(XmlStorage(runner_) + std::vector<std::string>{"get", "S", "K"});
  const std::string backup = runner_.readFile("xml/.storage.backup");
  EXPECT_TRUE(backup == runner_.readFile("xml/.storage")) << "a backup of " << backup.size() << " bytes";
  for (const auto& entry : std::filesystem::directory_iterator(runner_.file("xml"))) {
    EXPECT_EQ(entry.path().filename().string().find(".tmp."), std::string::npos) << entry.path();
  }
}

TEST_F(ToolTest, AMissingRegistryPathIsNotFoundForReadsAndMadeForWrites) {
  const std::vector<std::string> other = {
      "--type", "0", "--registry-db", runner_.file("registry.db"), "--path", "HKCU/Software/Elsewhere"};
  EXPECT_EQ(runner_.run(other + std::vector<std::string>{"ls"}).status, 1);
  ok(other + std::vector<std::string>{"set", "S", "K", "v"});
  EXPECT_EQ(ok({"--type", "0", "--registry-db", runner_.file("registry.db"), "--path", "HKCU", "ls", "-r",
                "Software"}),
            "Elsewhere/\nElsewhere/S/\nElsewhere/S/K\tstring\t2\n");
}

TEST_F(ToolTest, AFailedSaveIsAFailure) {
  runner_.writeFile("plain", "not a directory");
  // A shared storage's files are written when its last process leaves; the
  // message names the file that could not be.
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"xml", "settingstore: Cannot save"},
      {"shared", "settingstore: the storage could not be saved, its changes are lost: "}};
  for (const auto& [type, message] : cases) {
    const CliResult result =
        runner_.run({"--type", type, "--path", runner_.file("plain/sub"), "set", "S", "K", "v"});
    EXPECT_EQ(result.status, 3) << type;
    EXPECT_EQ(result.err.rfind(message, 0), 0u) << result.err;
    if (type == "shared") {
      EXPECT_NE(result.err.find("plain/sub/.storage"), std::string::npos) << result.err;
    }
  }
}

TEST_F(ToolTest, ASharedStorageCopiesIntoTheOtherBackendsAndDumpsIdentically) {
  const std::vector<std::vector<std::string>> writes = {
      {"set", "Root/A", "Text", "some text"},
      {"set", "--type", "int", "Root/A", "N", "-3"},
      {"set", "--type", "binary", "Root", "B", "0001ff"},
      {"set", "--type", "multi", "Root/A/Deep", "M", "1", "2", "3"},
  };
  for (const auto& write : writes) ok(SharedStorage(runner_) + write);
  const std::string fromShared = ok(SharedStorage(runner_) + std::vector<std::string>{"dump"});
  runner_.writeFile("tree.xml", fromShared);

  for (const auto backend : {&XmlStorage, &RegistryStorage}) {
    ok(backend(runner_) + std::vector<std::string>{"load", runner_.file("tree.xml")});
    EXPECT_EQ(ok(backend(runner_) + std::vector<std::string>{"dump"}), fromShared);
    EXPECT_EQ(ok(backend(runner_) + std::vector<std::string>{"get", "Root/A", "N"}), "-3\n");
  }
}

// Each document that once broke `load` now loads or is refused with a
// message, and never ends the tool by a signal.
TEST_F(ToolTest, LoadSurvivesEveryRecordedReproducer) {
  int replayed = 0;
  for (const auto& entry : std::filesystem::directory_iterator(SETTINGSTORE_CLI_LOAD_REGRESSIONS)) {
    const CliResult result =
        runner_.run(XmlStorage(runner_) + std::vector<std::string>{"load", entry.path().string()});
    EXPECT_TRUE(result.status == 0 || result.status == 3) << entry.path() << ": " << result.status;
    if (result.status == 3) {
      EXPECT_EQ(result.err.rfind("settingstore: ", 0), 0u) << result.err;
    }
    ++replayed;
  }
  EXPECT_GT(replayed, 0);
}

TEST_F(ToolTest, UsageErrorsExitWithTwo) {
  for (const std::vector<std::string>& arguments : {std::vector<std::string>{"--type", "ini", "ls"},
                                                    {"frobnicate"},
                                                    {"get", "OnlySection"},
                                                    {"ls", "--bogus"},
                                                    {}}) {
    const CliResult result = runner_.run(arguments);
    EXPECT_EQ(result.status, 2) << arguments.size();
  }
  const CliResult unknown = runner_.run({"--type", "ini", "ls"});
  EXPECT_EQ(unknown.err.rfind("settingstore: ", 0), 0u) << unknown.err;
}

TEST_F(ToolTest, EveryCommandHasHelpAndTheVersionPrints) {
  for (const char* command :
       {"ls", "get", "set", "rm", "rmsection", "dump", "load", "check", "stat", "hold"}) {
    const CliResult result = runner_.run({command, "--help"});
    EXPECT_EQ(result.status, 0) << command;
    EXPECT_NE(result.out.find(command), std::string::npos) << command;
  }
  EXPECT_EQ(ok({"--help"}).find("Subcommands:") != std::string::npos, true);
  EXPECT_EQ(ok({"--version"}), "1.1\n");
}

}  // namespace
}  // namespace settingstore::test
