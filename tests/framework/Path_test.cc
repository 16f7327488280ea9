#include "base/Path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/Platform.h"

namespace storage::utils {
namespace {

using path::GetDir;
using path::Normalize;

TEST(FrameworkPath, SeparatorsAreBackslashAndSlash) {
  EXPECT_EQ(path::GetSeparators().size(), 2u);
  EXPECT_NE(path::GetSeparators().find('\\'), std::string_view::npos);
  EXPECT_NE(path::GetSeparators().find('/'), std::string_view::npos);
}

TEST(FrameworkPath, GetDirDropsTheLastComponentAndItsSeparators) {
  EXPECT_EQ(GetDir("/var/lib/app/.storage000d.dm2"), "/var/lib/app");
  EXPECT_EQ(GetDir("data\\store/.storage"), "data\\store");
  EXPECT_EQ(GetDir("a//b"), "a");
  EXPECT_EQ(GetDir("a/b/"), "a/b");
  EXPECT_EQ(GetDir("/file"), "/");
  EXPECT_EQ(GetDir("//file"), "/");
  EXPECT_EQ(GetDir(".storage"), "");
  EXPECT_EQ(GetDir(""), "");
}

TEST(FrameworkPath, NormalisedPathsAreAbsoluteAndCanonical) {
  EXPECT_EQ(Normalize("/tmp//x\\y/"), "/tmp/x/y");
  EXPECT_EQ(Normalize("\\tmp\\.\\x\\..\\y"), "/tmp/y");
  EXPECT_EQ(Normalize("/a/b/../../.."), "/");
  EXPECT_EQ(Normalize("/"), "/");
  EXPECT_EQ(Normalize("\\\\"), "/");
  EXPECT_EQ(Normalize("/Data/MixedCase"), "/Data/MixedCase");
  EXPECT_EQ(Normalize("/a/.../b"), "/a/.../b");  // only "." and ".." are special
}

TEST(FrameworkPath, RelativePathsStartAtTheCurrentDirectory) {
  std::string current = std::filesystem::current_path().string();
  EXPECT_EQ(platform::CurrentDirectory(), current);
  EXPECT_EQ(Normalize(""), Normalize(current));
  EXPECT_EQ(Normalize("."), Normalize(current));
  EXPECT_EQ(Normalize("store/./x/../y"), Normalize(current + "/store/y"));
  EXPECT_EQ(Normalize(".."), Normalize(std::filesystem::path(current).parent_path().string()));
}

TEST(FrameworkPath, NormalisingTwiceChangesNothing) {
  for (const char* path : {"", "a\\b", "/x/../y//", "../../q", "/"}) {
    std::string once = Normalize(path);
    EXPECT_EQ(Normalize(once), once) << path;
    EXPECT_EQ(once.front(), '/') << path;
    EXPECT_EQ(once.find('\\'), std::string::npos) << path;
  }
}

TEST(FrameworkPath, PathHashIsHexOfXxh64OfTheNormalisedPath) {
  // XXH64("/tmp/a/b", seed 0), computed with the xxhash library on its own.
  EXPECT_EQ(GenerateUniqueHashByPath("/tmp/a/b"), "ded4e568ff27a3b9");
  EXPECT_EQ(GenerateUniqueHashByPath("\\tmp\\a\\.\\b\\"), "ded4e568ff27a3b9");
  EXPECT_EQ(GenerateUniqueHashByPath("/tmp/x/../a//b"), "ded4e568ff27a3b9");
  EXPECT_NE(GenerateUniqueHashByPath("/tmp/a/B"), "ded4e568ff27a3b9");
  EXPECT_EQ(GenerateUniqueHashByPath("rel"), GenerateUniqueHashByPath(Normalize("rel")));

  std::string hash = GenerateUniqueHashByPath("/");
  EXPECT_EQ(hash.size(), 16u);
  EXPECT_EQ(hash.find_first_not_of("0123456789abcdef"), std::string::npos) << hash;
}

}  // namespace
}  // namespace storage::utils
