#include "base/Path.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/Platform.h"

namespace storage::utils {
namespace {

using path::getDir;
using path::normailize;

TEST(FrameworkPath, SeparatorsAreBackslashAndSlash) {
  EXPECT_EQ(path::getSeparators().size(), 2u);
  EXPECT_NE(path::getSeparators().find('\\'), std::string_view::npos);
  EXPECT_NE(path::getSeparators().find('/'), std::string_view::npos);
}

TEST(FrameworkPath, GetDirDropsTheLastComponentAndItsSeparators) {
  EXPECT_EQ(getDir("/var/lib/app/.storage000d.dm2"), "/var/lib/app");
  EXPECT_EQ(getDir("data\\store/.storage"), "data\\store");
  EXPECT_EQ(getDir("a//b"), "a");
  EXPECT_EQ(getDir("a/b/"), "a/b");
  EXPECT_EQ(getDir("/file"), "/");
  EXPECT_EQ(getDir("//file"), "/");
  EXPECT_EQ(getDir(".storage"), "");
  EXPECT_EQ(getDir(""), "");
}

TEST(FrameworkPath, NormalisedPathsAreAbsoluteAndCanonical) {
  EXPECT_EQ(normailize("/tmp//x\\y/"), "/tmp/x/y");
  EXPECT_EQ(normailize("\\tmp\\.\\x\\..\\y"), "/tmp/y");
  EXPECT_EQ(normailize("/a/b/../../.."), "/");
  EXPECT_EQ(normailize("/"), "/");
  EXPECT_EQ(normailize("\\\\"), "/");
  EXPECT_EQ(normailize("/Data/MixedCase"), "/Data/MixedCase");
  EXPECT_EQ(normailize("/a/.../b"), "/a/.../b");  // only "." and ".." are special
}

TEST(FrameworkPath, RelativePathsStartAtTheCurrentDirectory) {
  std::string current = std::filesystem::current_path().string();
  EXPECT_EQ(platform::CurrentDirectory(), current);
  EXPECT_EQ(normailize(""), normailize(current));
  EXPECT_EQ(normailize("."), normailize(current));
  EXPECT_EQ(normailize("store/./x/../y"), normailize(current + "/store/y"));
  EXPECT_EQ(normailize(".."), normailize(std::filesystem::path(current).parent_path().string()));
}

TEST(FrameworkPath, NormalisingTwiceChangesNothing) {
  for (const char* path : {"", "a\\b", "/x/../y//", "../../q", "/"}) {
    std::string once = normailize(path);
    EXPECT_EQ(normailize(once), once) << path;
    EXPECT_EQ(once.front(), '/') << path;
    EXPECT_EQ(once.find('\\'), std::string::npos) << path;
  }
}

TEST(FrameworkPath, PathHashIsHexOfXxh64OfTheNormalisedPath) {
  // XXH64("/tmp/a/b", seed 0), computed with the xxhash library on its own.
  EXPECT_EQ(generateUniqueHashByPath("/tmp/a/b"), "ded4e568ff27a3b9");
  EXPECT_EQ(generateUniqueHashByPath("\\tmp\\a\\.\\b\\"), "ded4e568ff27a3b9");
  EXPECT_EQ(generateUniqueHashByPath("/tmp/x/../a//b"), "ded4e568ff27a3b9");
  EXPECT_NE(generateUniqueHashByPath("/tmp/a/B"), "ded4e568ff27a3b9");
  EXPECT_EQ(generateUniqueHashByPath("rel"), generateUniqueHashByPath(normailize("rel")));

  std::string hash = generateUniqueHashByPath("/");
  EXPECT_EQ(hash.size(), 16u);
  EXPECT_EQ(hash.find_first_not_of("0123456789abcdef"), std::string::npos) << hash;
}

}  // namespace
}  // namespace storage::utils
