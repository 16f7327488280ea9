#include "base/PathUtils.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "base/Path.h"
#include "platform/Platform.h"

namespace storage::utils {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Components(const char* path) {
  SectionPath split = Split(path);
  std::vector<std::string> components;
  for (size_t i = 0; i < split.size(); ++i) components.push_back(split.component(i));
  return components;
}

using Names = std::vector<std::string>;

TEST(SplitSectionPath, RunsOfEitherSeparatorCountAsOne) {
  EXPECT_EQ(Components("a\\b/c"), (Names{"a", "b", "c"}));
  EXPECT_EQ(Components("\\\\a//b\\"), (Names{"a", "b"}));
  EXPECT_EQ(Components("Width"), (Names{"Width"}));
  EXPECT_EQ(Components("/\\//"), Names{});
  EXPECT_EQ(Components(""), Names{});

  SectionPath none = Split(nullptr);
  EXPECT_EQ(none.text(), "");
  EXPECT_EQ(none.size(), 0u);
  EXPECT_THROW(none.component(0), std::out_of_range);
}

TEST(SplitSectionPath, TextUpToTheFirstSeparatorAfterAColonIsNoComponent) {
  SectionPath split = Split("C:\\x/y");
  EXPECT_EQ(split.text(), "C:\\x/y");
  EXPECT_EQ(split.drive(), "C");
  EXPECT_EQ(Components("C:\\x/y"), (Names{"x", "y"}));
  EXPECT_EQ(Components("C:foo\\bar"), (Names{"bar"}));
  EXPECT_EQ(Components("C:foo"), Names{});
  EXPECT_EQ(Split("a:b:c/d").drive(), "a");
  EXPECT_EQ(Components("a:b:c/d"), (Names{"d"}));
  EXPECT_EQ(Split("a/b").drive(), "");
}

TEST(JoinPaths, OneSeparatorBetweenThePieces) {
  const std::string sep(1, path::kSeparator);
  EXPECT_EQ(Join(".", ".storage"), "." + sep + ".storage");
  EXPECT_EQ(Join("", ".storage"), ".storage");
  EXPECT_EQ(Join("a/", "\\b"), "a/b");
  EXPECT_EQ(Join("a\\", "b"), "a\\b");
  EXPECT_EQ(Join("a", "/b"), "a/b");
  EXPECT_EQ(Join("a", ""), "a" + sep);
  EXPECT_EQ(Join("a/", ""), "a/");
}

// A fresh directory per test, removed with everything in it afterwards.
class PathFilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() /
            ("settingstore-pathutils-" + std::to_string(platform::CurrentProcessId()) + "-" + info->name());
    fs::remove_all(root_);
    ASSERT_TRUE(fs::create_directory(root_));
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string In(const std::string& relative) const { return (root_ / relative).string(); }
  void MakeFile(const std::string& relative, const std::string& content = "x") const {
    std::ofstream(root_ / relative, std::ios::binary) << content;
  }
  size_t EntryCount() const {
    return static_cast<size_t>(std::distance(fs::recursive_directory_iterator(root_), {}));
  }

  fs::path root_;
};

TEST_F(PathFilesTest, IsDirectoryOnlyForExistingDirectories) {
  MakeFile("file");
  EXPECT_TRUE(IsDirectory(root_.string()));
  EXPECT_TRUE(IsDirectory(root_.string() + "/"));
  EXPECT_TRUE(IsDirectory(root_.string() + "\\"));
  EXPECT_TRUE(IsDirectory("/"));
  EXPECT_FALSE(IsDirectory(In("file")));
  EXPECT_FALSE(IsDirectory(In("missing")));
  EXPECT_FALSE(IsDirectory(""));
}

TEST_F(PathFilesTest, CreatesEveryMissingLevel) {
  EXPECT_FALSE(CreateDirectoryChain("", false));
  EXPECT_TRUE(CreateDirectoryChain(In("a/b\\c"), false));
  EXPECT_TRUE(fs::is_directory(root_ / "a/b/c"));
  EXPECT_TRUE(CreateDirectoryChain(In("a/b/c/"), false));  // all there already

  EXPECT_TRUE(CreateDirectoryChain(In("x//y/settings.xml"), true));
  EXPECT_TRUE(fs::is_directory(root_ / "x/y"));
  EXPECT_FALSE(fs::exists(root_ / "x/y/settings.xml"));
}

TEST_F(PathFilesTest, FilePathInAnExistingDirectoryCreatesNothing) {
  EXPECT_TRUE(CreateDirectoryChain(In(".storage"), true));
  EXPECT_TRUE(CreateDirectoryChain("settingstore-no-such-file.xml", true));
  EXPECT_TRUE(CreateDirectoryChain("/", false));
  EXPECT_EQ(EntryCount(), 0u);
  EXPECT_FALSE(fs::exists("settingstore-no-such-file.xml"));
}

TEST_F(PathFilesTest, RelativeChainStartsWithItsFirstComponent) {
  fs::path previous = fs::current_path();
  fs::current_path(root_);
  bool created = CreateDirectoryChain("new1/new2/.storage", true);
  fs::current_path(previous);
  EXPECT_TRUE(created);
  EXPECT_TRUE(fs::is_directory(root_ / "new1/new2"));
}

TEST_F(PathFilesTest, FileInTheWayFailsTheChain) {
  MakeFile("blocker");
  EXPECT_FALSE(CreateDirectoryChain(In("blocker/sub"), false));
  EXPECT_FALSE(CreateDirectoryChain(In("blocker"), false));
  EXPECT_TRUE(CreateDirectoryChain(In("blocker"), true));
}

TEST_F(PathFilesTest, WholeFilesRoundTripEveryByte) {
  std::string bytes("a\0b\r\n\xff\0", 7);
  EXPECT_TRUE(WriteWholeFile(In("data.bin"), bytes));
  EXPECT_EQ(ReadWholeFile(In("data.bin")), bytes);
  EXPECT_EQ(fs::file_size(root_ / "data.bin"), 7u);

  EXPECT_TRUE(WriteWholeFile(In("data.bin"), "xy"));  // truncates
  EXPECT_EQ(ReadWholeFile(In("data.bin")), "xy");

  std::string large(300000, '\0');
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i * 7);
  EXPECT_TRUE(WriteWholeFile(root_.string() + "\\large.bin", large));
  EXPECT_EQ(ReadWholeFile(In("large.bin")), large);

  EXPECT_TRUE(WriteWholeFile(In("empty"), ""));
  EXPECT_TRUE(fs::exists(root_ / "empty"));
  EXPECT_EQ(ReadWholeFile(In("empty")), "");
}

TEST_F(PathFilesTest, UnreachableFilesReadEmptyAndFailToWrite) {
  EXPECT_EQ(ReadWholeFile(In("missing")), "");
  EXPECT_EQ(ReadWholeFile(root_.string()), "");  // a directory
  EXPECT_FALSE(WriteWholeFile(In("missing/file"), "x"));
  EXPECT_FALSE(WriteWholeFile(root_.string(), "x"));
}

TEST_F(PathFilesTest, PlatformFileCallsSetTheLastError) {
  std::string dir = In("d");
  EXPECT_TRUE(platform::MakeDirectory(dir.c_str()));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorSuccess);
  EXPECT_FALSE(platform::MakeDirectory(dir.c_str()));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorAlreadyExists);

  MakeFile("f");
  std::string file = In("f");
  EXPECT_TRUE(platform::PathExists(file.c_str()));
  EXPECT_TRUE(platform::RemoveFile(file.c_str()));
  EXPECT_FALSE(platform::RemoveFile(file.c_str()));
  EXPECT_EQ(platform::GetLastError(), platform::kErrorFileNotFound);
  EXPECT_FALSE(platform::PathExists(file.c_str()));
}

}  // namespace
}  // namespace storage::utils
