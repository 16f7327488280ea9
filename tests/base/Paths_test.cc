#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/Path.h"
#include "base/PathUtils.h"
#include "support/TempDirectory.h"

namespace storage::utils {
namespace {

namespace fs = std::filesystem;
using Names = std::vector<std::string>;
using namespace std::string_literals;

TEST(Paths, SectionPathsSplitAtRunsOfEitherSeparatorAfterAnyDrive) {
  const std::tuple<const char*, const char*, Names> kCases[] = {
      // clang-format off
      {"a\\b/c", "", {"a", "b", "c"}}, {"\\\\a//b\\", "", {"a", "b"}}, {"Width", "", {"Width"}},
      {"/\\//", "", {}},               {"", "", {}},                   {nullptr, "", {}},
      {"C:\\x/y", "C", {"x", "y"}},    {"C:foo\\bar", "C", {"bar"}},   {"C:foo", "C", {}},
      {"a:b:c/d", "a", {"d"}},
      // clang-format on
  };
  for (const auto& [path, drive, expected] : kCases) {
    SectionPath split = Split(path);
    Names components;
    for (size_t i = 0; i < split.Size(); ++i) components.push_back(split.Component(i));
    EXPECT_EQ(components, expected) << path;
    EXPECT_EQ(split.Drive(), drive) << path;
  }
}

TEST(Paths, JoinDirectoryNormalFormAndItsHash) {
  const std::string sep(1, path::kSeparator);
  const fs::path current = fs::current_path();
  const std::tuple<std::string, std::string, std::string> kJoins[] = {
      // clang-format off
      {".", ".storage", "." + sep + ".storage"}, {"", ".storage", ".storage"}, {"a/", "\\b", "a/b"},
      {"a\\", "b", "a\\b"}, {"a", "/b", "a/b"}, {"a", "", "a" + sep}, {"a/", "", "a/"},
      // clang-format on
  };
  for (const auto& [a, b, joined] : kJoins) EXPECT_EQ(Join(a, b), joined) << a << " + " << b;
  const std::pair<const char*, const char*> kDirs[] = {
      // clang-format off
      {"/var/lib/app/.storage000d.dm2", "/var/lib/app"}, {"data\\store/.storage", "data\\store"},
      {"a//b", "a"}, {"a/b/", "a/b"}, {"/file", "/"}, {"//file", "/"}, {".storage", ""}, {"", ""},
      // clang-format on
  };
  // The expected forms below are written with '/', which stands for the system's separator.
  const auto native = [](std::string text) {
    std::replace(text.begin(), text.end(), '/', path::kSeparator);
    return text;
  };
  // A directory keeps its separators, but the root is the system's.
  for (const auto& [path, dir] : kDirs)
    EXPECT_EQ(path::GetDir(path), dir == std::string("/") ? native(dir) : dir) << path;
#ifdef _WIN32
  // Rooted in a drive or a share; a single leading separator takes the
  // current directory's drive.
  const std::string drive = current.root_name().string();
  const std::pair<const char*, std::string> kNormal[] = {
      // clang-format off
      {"C:\\tmp//x/y\\", "C:/tmp/x/y"}, {"c:/a/./b/../c", "c:/a/c"}, {"Z:\\..\\..", "Z:/"}, {"Z:", "Z:/"},
      {"\\\\server\\share\\a\\..\\b", "//server/share/b"}, {"//server/share/../..", "//server/share/"},
      {"\\tmp\\.\\x\\..\\y", drive + "/tmp/y"}, {"/a/b/../../..", drive + "/"}, {"\\\\", drive + "/"},
      {"/Data/MixedCase", drive + "/Data/MixedCase"}, {"/a/.../b", drive + "/a/.../b"}, {".", current.string()},
      {"s/./x/../y", (current / "s/y").string()}, {"..", current.parent_path().string()},
      // clang-format on
  };
#else
  const std::pair<const char*, std::string> kNormal[] = {
      // clang-format off
      {"/tmp//x\\y/", "/tmp/x/y"}, {"\\tmp\\.\\x\\..\\y", "/tmp/y"}, {"/a/b/../../..", "/"}, {"\\\\", "/"},
      {"/Data/MixedCase", "/Data/MixedCase"}, {"/a/.../b", "/a/.../b"}, {".", current.string()},
      {"s/./x/../y", (current / "s/y").string()}, {"..", current.parent_path().string()},
      // clang-format on
  };
#endif
  for (const auto& [path, normal] : kNormal) {
    EXPECT_EQ(path::Normalize(path), native(normal)) << path;
    EXPECT_EQ(path::Normalize(native(normal)), native(normal));
  }
  // The hash of the normal form: on Linux, where shared object names depend
  // on it, XXH64, seed 0, of "/tmp/a/b" in hex.
  const std::string hash = GenerateUniqueHashByPath("/tmp/a/b");
#ifdef _WIN32
  EXPECT_EQ(hash.find_first_not_of("0123456789abcdef"), std::string::npos) << hash;
  const std::string other = drive == "C:" ? "D:/tmp/a/b" : "C:/tmp/a/b";
  // Letter case names no other file on Windows.
  for (const std::string& path : {"\\tmp\\a\\.\\b\\"s, "/tmp/x/../a//b"s, drive + "\\tmp\\a\\b", "/TMP/a/B"s}) {
    EXPECT_EQ(GenerateUniqueHashByPath(path), hash) << path;
  }
  for (const std::string& path : {"/tmp/a/c"s, other, "//tmp/a/b"s})
    EXPECT_NE(GenerateUniqueHashByPath(path), hash) << path;
  EXPECT_EQ(GenerateUniqueHashByPath("\\\\server\\share\\x"),
            GenerateUniqueHashByPath("//server/share/./x/"));
#else
  EXPECT_EQ(hash, "ded4e568ff27a3b9");
  for (const char* path : {"\\tmp\\a\\.\\b\\", "/tmp/x/../a//b"}) {
    EXPECT_EQ(GenerateUniqueHashByPath(path), hash) << path;
  }
  EXPECT_NE(GenerateUniqueHashByPath("/tmp/a/B"), hash);
#endif
}

TEST(Paths, DirectoryChainsAreCreatedOnlyWhereMissingAlsoConcurrently) {
  settingstore::test::TempDirectory dir;
  const std::string root = dir.path().string();
  ASSERT_TRUE(WriteWholeFile(root + "/blocker", "x"));
  // Path below the root, whether it ends in a file, the result, a directory that exists afterwards.
  const std::tuple<const char*, bool, bool, const char*> kCases[] = {
      // clang-format off
      {"/a/b\\c", false, true, "/a/b/c"},  {"/a/b/c/", false, true, "/a/b/c"},  {"/x//y/f.xml", true, true, "/x/y"},
      {"/.storage", true, true, ""},       {"/blocker/sub", false, false, ""},  {"/blocker", false, false, ""},
      {"/blocker", true, true, ""},
      // clang-format on
  };
  for (const auto& [path, lastIsFile, created, directory] : kCases) {
    EXPECT_EQ(CreateDirectoryChain(root + path, lastIsFile), created) << path;
    EXPECT_TRUE(IsDirectory(root + directory + "\\")) << path;
  }
  EXPECT_FALSE(CreateDirectoryChain("", false));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 3);  // a, x and blocker
  EXPECT_FALSE(fs::exists(dir.path() / "x/y/f.xml"));
  // A relative chain starts with its first component.
  fs::path previous = fs::current_path();
  fs::current_path(dir.path());
  EXPECT_TRUE(CreateDirectoryChain("new1/new2/.storage", true));
  fs::current_path(previous);
  EXPECT_TRUE(fs::is_directory(dir.path() / "new1/new2"));

  // Processes that share a directory create it at the same time; a level that
  // another one made meanwhile is no failure.
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
  EXPECT_EQ(ReadWholeFile(dir.File("missing")) + ReadWholeFile(dir.path().string()), "");
  EXPECT_FALSE(WriteWholeFile(dir.File("missing/file"), "x"));
  EXPECT_FALSE(WriteWholeFile(dir.path().string(), "x"));
}

}  // namespace
}  // namespace storage::utils
