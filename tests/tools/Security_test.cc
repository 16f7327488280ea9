// What another local user can do to a storage: own or write its directory,
// plant save lists, read the files beside a private one. And a value whose
// text file is gone, which must fail instead of reading as empty.
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/PathUtils.h"
#include "reliability/CrashSweep.h"
#include "support/OtherUser.h"
#include "tools/CliRunner.h"
#include "xmlfile/FileBackup.h"
#include "xmlfile/IdleSave.h"

namespace settingstore::test {
namespace {

namespace fs = std::filesystem;

class AllowSharedDirectory {
 public:
  AllowSharedDirectory() { setenv("SETTINGSTORE_ALLOW_SHARED_DIRECTORY", "1", 1); }
  ~AllowSharedDirectory() { unsetenv("SETTINGSTORE_ALLOW_SHARED_DIRECTORY"); }
};

// Runs the tool on the runner's shared storage.
CliResult Shared(const CliRunner& runner, const Words& command) {
  return runner.Run(SharedStorage(runner) + command);
}

TEST(SecurityTest, StorageDirectoriesThatOtherUsersControlAreRefused) {
  OtherUser other;
  CliRunner runner;
  struct Case {
    const char* name;
    mode_t mode;
    bool otherOwns;
    const char* why;
  };
  const Case cases[] = {{"group-writable", 0775, false, "can be written by other users (mode 0775)"},
                        {"sticky-world-writable", 01777, false, "can be written by other users (mode 1777)"},
                        {"another-users", 0755, true, "belongs to another user"}};
  for (const Case& row : cases) {
    if (row.otherOwns && !other.Available()) continue;
    const std::string directory = runner.File(row.name);
    fs::create_directory(directory);
    ASSERT_EQ(chmod(directory.c_str(), row.mode), 0);
    if (row.otherOwns) {
      ASSERT_EQ(chown(directory.c_str(), other.Uid(), other.Gid()), 0);
    }
    const std::string owner = row.otherOwns ? other.Name() : getpwuid(geteuid())->pw_name;
    for (const char* type : {"xml", "shared"}) {
      SCOPED_TRACE(std::string(row.name) + " " + type);
      for (const Words& command : {Words{"set", "A", "k", "v"}, Words{"check"}}) {
        if (command[0] == "check" && std::string(type) == "xml") continue;
        const CliResult result = runner.Run(Words{"--type", type, "--path", directory} + command);
        EXPECT_EQ(result.status, 3) << result.err;
        EXPECT_NE(result.err.find("'" + directory + "' owned by " + owner), std::string::npos) << result.err;
        EXPECT_NE(result.err.find(row.why), std::string::npos) << result.err;
      }
      EXPECT_TRUE(fs::is_empty(directory));
    }
  }
  // The host may opt in to a directory it shares on purpose.
  AllowSharedDirectory allow;
  const Words sticky = {"--type", "shared", "--path", runner.File("sticky-world-writable")};
  EXPECT_EQ(runner.Run(sticky + Words{"set", "A", "k", "v"}).status, 0);
}

// A save list planted by another user, or naming files outside its own
// directory or that are no hive files, or reached through a link, would let
// the next process that opens the storage rename any file it can write.
TEST(SecurityTest, SaveListsThatAreNotTheCallersOwnHiveFilesAreNotFollowed) {
  OtherUser other;
  AllowSharedDirectory allow;
  CliRunner runner;
  const std::string dom = runner.File("dom"), list = dom + "/.hivesave.1.0";
  ASSERT_EQ(Shared(runner, {"set", "A", "k", "v"}).status, 0);
  ASSERT_EQ(chmod(dom.c_str(), 0777), 0);
  struct Case {
    bool plantedByOther;
    bool asLink;
    std::string from, to;  // the list would rename from over to: whole paths, or names in dom
  };
  const std::string secret = runner.File("secret"), evil = dom + "/evil";
  for (const Case& row : {Case{true, false, evil, secret}, Case{false, false, evil, secret},
                          Case{false, true, evil, secret}, Case{false, false, "notes.txt.tmp.1.0", "notes.txt"},
                          Case{false, false, ".storage000d.dm2x.tmp.1.0", ".storage000d.dm2x"}}) {
    if (row.plantedByOther && !other.Available()) continue;
    SCOPED_TRACE(row.to + (row.plantedByOther ? " by another user" : row.asLink ? " behind a link" : ""));
    const bool paths = row.to.starts_with("/");
    const std::string from = paths ? row.from : dom + "/" + row.from, to = paths ? row.to : dom + "/" + row.to;
    const std::string hive = (paths ? dom + "/" : "") + ".storage000d.dm2";
    std::ofstream(to) << "mine";
    const auto plant = [&] {
      std::ofstream(from) << "attacker's";
      std::ofstream(from + "x") << "attacker's";
      std::ofstream(row.asLink ? dom + "/list" : list, std::ios::binary)
          << row.from + '\0' + row.to + '\0' + hive + ".tmp.1.0" + '\0' + hive + '\0';
      return row.asLink && symlink((dom + "/list").c_str(), list.c_str()) != 0 ? 1 : 0;
    };
    ASSERT_EQ(row.plantedByOther ? other.Run(plant) : plant(), 0);
    const CliResult result = Shared(runner, {"get", "A", "k"});
    EXPECT_EQ(result.out, "v\n") << result.err;
    EXPECT_EQ(storage::utils::ReadWholeFile(to), "mine");
    EXPECT_TRUE(!paths || (fs::exists(from) && fs::exists(list)));
    for (const std::string& planted : {list, from, from + "x", dom + "/list"}) fs::remove(planted);
  }
  // A list an earlier version left holds whole paths; beside the list they are
  // still the storage's own files, and the interrupted save is finished.
  const std::string nodes = dom + "/.storage000d.dm2", strings = dom + "/.storageMap000d.dm2";
  // Temporaries of process 1, which never ends: no later save clears them.
  fs::copy_file(nodes, nodes + ".tmp.1.0");
  fs::copy_file(strings, strings + ".tmp.1.0");
  ASSERT_EQ(Shared(runner, {"set", "A", "k", "new"}).status, 0);
  std::ofstream(list, std::ios::binary) << nodes + ".tmp.1.0" + '\0' + nodes + '\0' + strings + ".tmp.1.0" + '\0' +
                                               strings + '\0';
  EXPECT_EQ(Shared(runner, {"get", "A", "k"}).out, "v\n");
  EXPECT_FALSE(fs::exists(list));
}

// And a long text's file is needed: without it the value fails instead of
// reading as empty.
TEST(SecurityTest, FilesBesideAPrivateMainFileArePrivateTooAndNeeded) {
  CliRunner runner;
  // Shared: the hive files and the long texts take the first hive's bits.
  const std::string dom = runner.File("dom");
  ASSERT_EQ(Shared(runner, {"set", "A", "k", "v"}).status, 0);
  ASSERT_EQ(chmod((dom + "/.storage000d.dm2").c_str(), 0600), 0);
  ASSERT_EQ(Shared(runner, {"set", "A", "long", std::string(1500, 'x')}).status, 0);
  const std::vector<std::string> texts = EntriesWith(dom, "external_");
  ASSERT_EQ(texts.size(), 1u);
  for (const std::string& file : EntriesWith(dom, ".storage")) EXPECT_EQ(ModeOf(dom + "/" + file), 0600u) << file;
  EXPECT_EQ(ModeOf(dom + "/" + texts.front()), 0600u);
  fs::remove(dom + "/" + texts.front());
  for (const Words& command : {Words{"get", "A", "long"}, Words{"dump"}}) {
    const CliResult result = Shared(runner, command);
    EXPECT_EQ(result.status, 3) << command[0] << ": " << result.out << result.err;
    EXPECT_NE(result.err.find("error -3"), std::string::npos) << result.err;
  }
  // Storing the same text again mends it.
  ASSERT_EQ(Shared(runner, {"set", "A", "long", std::string(1500, 'x')}).status, 0);
  EXPECT_EQ(Shared(runner, {"get", "A", "long"}).out, std::string(1500, 'x') + "\n");

  // XML: the backup copy takes the settings file's bits.
  const std::string settings = runner.File("xml-settings");
  runner.WriteFile("xml-settings", "<storage/>");
  ASSERT_EQ(chmod(settings.c_str(), 0600), 0);
  storage::BackupController backup(settings.c_str(), runner.File("none").c_str());
  backup.Prepare();
  backup.Confirm();
  storage::IdleSave::WaitUntilIdle();
  EXPECT_EQ(runner.ReadFile("xml-settings.backup"), "<storage/>");
  EXPECT_EQ(ModeOf(settings + ".backup"), 0600u);
}

}  // namespace
}  // namespace settingstore::test
