#include <gtest/gtest.h>

#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "Utils/PathUtils.h"
#include "framework/Path.h"
#include "support/TempDirectory.h"

namespace storage::utils {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;

TEST(Paths, SectionPathsSplitAtRunsOfEitherSeparatorAfterAnyDrive) {
  const struct {
    const char* path;
    const char* drive;
    Names components;
  } kCases[] = {
      {"a\\b/c", "", {"a", "b", "c"}}, {"\\\\a//b\\", "", {"a", "b"}}, {"Width", "", {"Width"}},
      {"/\\//", "", {}},               {"", "", {}},                   {nullptr, "", {}},
      {"C:\\x/y", "C", {"x", "y"}},    {"C:foo\\bar", "C", {"bar"}},   {"C:foo", "C", {}},
      {"a:b:c/d", "a", {"d"}},
  };
  for (const auto& c : kCases) {
    SectionPath split = Split(c.path);
    Names components;
    for (size_t i = 0; i < split.size(); ++i) components.push_back(split.component(i));
    EXPECT_EQ(components, c.components) << c.path;
    EXPECT_EQ(split.drive(), c.drive) << c.path;
    EXPECT_EQ(split.text(), c.path ? c.path : "");
    EXPECT_THROW(split.component(split.size()), std::out_of_range);
  }
}

TEST(Paths, JoinGetDirAndNormaliseTables) {
  const std::string sep(1, path::kSeparator);
  const struct {
    const char *a, *b;
    std::string joined;
  } kCases[] = {{".", ".storage", "." + sep + ".storage"}, {"", ".storage", ".storage"}, {"a/", "\\b", "a/b"},
                {"a\\", "b", "a\\b"}, {"a", "/b", "a/b"}, {"a", "", "a" + sep}, {"a/", "", "a/"}};
  for (const auto& c : kCases) EXPECT_EQ(Join(c.a, c.b), c.joined) << c.a << " + " << c.b;

  const std::pair<const char*, const char*> kDirs[] = {
      {"/var/lib/app/.storage000d.dm2", "/var/lib/app"}, {"data\\store/.storage", "data\\store"},
      {"a//b", "a"}, {"a/b/", "a/b"}, {"/file", "/"}, {"//file", "/"}, {".storage", ""}, {"", ""}};
  for (const auto& [path, dir] : kDirs) EXPECT_EQ(path::getDir(path), dir) << path;

  const std::pair<const char*, const char*> kNormal[] = {
      {"/tmp//x\\y/", "/tmp/x/y"}, {"\\tmp\\.\\x\\..\\y", "/tmp/y"}, {"/a/b/../../..", "/"}, {"\\\\", "/"},
      {"/Data/MixedCase", "/Data/MixedCase"}, {"/a/.../b", "/a/.../b"}};
  for (const auto& [path, normal] : kNormal) EXPECT_EQ(path::normailize(path), normal) << path;

  // Relative paths start at the current directory.
  fs::path current = fs::current_path();
  EXPECT_EQ(path::normailize("."), current.string());
  EXPECT_EQ(path::normailize("s/./x/../y"), (current / "s/y").string());
  EXPECT_EQ(path::normailize(".."), current.parent_path().string());
}

// Generated spellings: a normal form is absolute, canonical and its own normal form.
TEST(Paths, NormalFormsAreFixedPoints) {
  std::mt19937 random(7);
  const char* const kPieces[] = {"a", "Bc", ".", "..", "", "...", "/", "\\", "//"};
  for (int round = 0; round < 500; ++round) {
    std::string path;
    for (int i = static_cast<int>(random() % 8); i > 0; --i) path += kPieces[random() % std::size(kPieces)];
    std::string normal = path::normailize(path);
    ASSERT_EQ(path::normailize(normal), normal) << path;
    ASSERT_EQ(normal.front(), '/') << path;
    ASSERT_TRUE(normal == "/" || normal.back() != '/') << path;
    for (const char* bad : {"\\", "//", "/./", "/../"}) {
      ASSERT_EQ((normal == "/" ? normal : normal + "/").find(bad), std::string::npos) << path;
    }
  }
}

TEST(Paths, DirectoryChainsAreCreatedOnlyWhereMissing) {
  settingstore::test::TempDirectory dir;
  const std::string root = dir.path().string();
  ASSERT_TRUE(WriteWholeFile(root + "/blocker", "x"));
  const struct {
    std::string path;
    bool lastIsFile, created;
    const char* directory;  // exists afterwards
  } kCases[] = {
      {"", false, false, nullptr},
      {root + "/a/b\\c", false, true, "a/b/c"},
      {root + "/a/b/c/", false, true, "a/b/c"},
      {root + "/x//y/settings.xml", true, true, "x/y"},
      {root + "/.storage", true, true, nullptr},
      {root + "/blocker/sub", false, false, nullptr},
      {root + "/blocker", false, false, nullptr},
      {root + "/blocker", true, true, nullptr},
  };
  for (const auto& c : kCases) {
    EXPECT_EQ(CreateDirectoryChain(c.path, c.lastIsFile), c.created) << c.path;
    if (c.directory) {
      EXPECT_TRUE(IsDirectory(root + "/" + c.directory)) << c.path;
    }
  }
  EXPECT_FALSE(fs::exists(dir.path() / "x/y/settings.xml"));
  EXPECT_FALSE(fs::exists(dir.path() / ".storage"));
  EXPECT_TRUE(IsDirectory(root + "\\"));
  EXPECT_FALSE(IsDirectory(root + "/blocker"));
  EXPECT_FALSE(IsDirectory(""));

  // A relative chain starts with its first component.
  fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  EXPECT_TRUE(CreateDirectoryChain("new1/new2/.storage", true));
  fs::current_path(previous);
  EXPECT_TRUE(fs::is_directory(dir.path() / "new1/new2"));
}

// Processes that share a directory create it at the same time; a level that
// another one made meanwhile is no failure.
TEST(Paths, ConcurrentChainsOverTheSameLevelsAllSucceed) {
  settingstore::test::TempDirectory dir;
  for (int round = 0; round < 40; ++round) {
    const std::string path = dir.File(std::to_string(round) + "/a/b/c/d/e/f/g/h");
    std::vector<char> created(8, false);
    std::vector<std::thread> threads;
    for (char& result : created) threads.emplace_back([&] { result = CreateDirectoryChain(path, false); });
    for (std::thread& thread : threads) thread.join();
    ASSERT_EQ(created, std::vector<char>(8, true)) << "round " << round;
  }
}

TEST(Paths, WholeFilesRoundTripGeneratedContents) {
  settingstore::test::TempDirectory dir;
  std::mt19937 random(3);
  for (size_t size : {300000, 65537, 65536, 65535, 7, 1, 0}) {  // each write truncates the last
    std::string bytes(size, '\0');
    for (char& byte : bytes) byte = static_cast<char>(random());
    ASSERT_TRUE(WriteWholeFile(dir.path().string() + "\\data.bin", bytes));
    ASSERT_EQ(ReadWholeFile(dir.File("data.bin")), bytes) << size;
  }
  EXPECT_EQ(ReadWholeFile(dir.File("missing")), "");
  EXPECT_EQ(ReadWholeFile(dir.path().string()), "");
  EXPECT_FALSE(WriteWholeFile(dir.File("missing/file"), "x"));
  EXPECT_FALSE(WriteWholeFile(dir.path().string(), "x"));
}

}  // namespace
}  // namespace storage::utils
