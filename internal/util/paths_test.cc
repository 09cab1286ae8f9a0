#include "internal/util/paths.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "internal/util/tempdir.h"

namespace util {
namespace {

TEST(Paths, CleanJoinAndSplitAreLexical) {
  struct Case {
    std::string in, clean, dir, base, ext;
  };
  const Case cases[] = {
      {"", ".", ".", ".", ""},
      {"/", "/", "/", "/", ""},
      {"//", "/", "/", "/", ""},
      {".", ".", ".", ".", "."},
      {"..", "..", ".", "..", "."},
      {"/..", "/", "/", "..", "."},
      {"/../a", "/a", "/", "a", ""},
      {"a/..", ".", "a", "..", "."},
      {"a/../..", "..", "a/..", "..", "."},
      {"../../x", "../../x", "../..", "x", ""},
      {"a//b/./c/", "a/b/c", "a/b/c", "c", ""},
      {"/opt/zol/apps/x/1.0.installing/files/../../../../etc/passwd", "/opt/zol/etc/passwd",
       "/opt/zol/apps/x/1.0.installing/files/../../../../etc", "passwd", ""},
      {"pkg.tar.gz", "pkg.tar.gz", ".", "pkg.tar.gz", ".gz"},
      {"a.d/file", "a.d/file", "a.d", "file", ""},
      {"/x/.bashrc", "/x/.bashrc", "/x", ".bashrc", ".bashrc"},
      {"x/", "x", "x", "x", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(CleanPath(c.in), c.clean) << c.in;
    EXPECT_EQ(DirName(c.in), CleanPath(c.dir)) << c.in;
    EXPECT_EQ(BaseName(c.in), c.base) << c.in;
    EXPECT_EQ(Ext(c.in), c.ext) << c.in;
  }

  struct Join {
    std::initializer_list<std::string_view> elems;
    std::string want;
  };
  const Join joins[] = {
      {{}, ""},
      {{"", ""}, ""},
      {{"", "a"}, "a"},
      {{"a", ""}, "a"},
      {{"/", "x"}, "/x"},
      {{"a", "/b"}, "a/b"},
      {{"/root", "../../x"}, "/x"},
      {{"rel", "..", ".."}, ".."},
      {{"/a/", "/b/", "c/"}, "/a/b/c"},
  };
  for (const auto& j : joins) EXPECT_EQ(JoinPath(j.elems), j.want) << ::testing::PrintToString(j.elems.size());
}

TEST(Paths, AbsPathJoinsTheWorkingDirectory) {
  auto tmp = TempDir::Make("zol-paths-test-");
  ASSERT_TRUE(tmp.ok());
  char saved[4096];
  ASSERT_NE(::getcwd(saved, sizeof saved), nullptr);
  ASSERT_EQ(::chdir(tmp->path().c_str()), 0);
  const std::string a = AbsPath("x/../y/");
  const std::string b = AbsPath("/already//abs/.");
  ASSERT_EQ(::chdir(saved), 0);
  EXPECT_EQ(a, CleanPath(tmp->path()) + "/y");
  EXPECT_EQ(b, "/already/abs");
  EXPECT_TRUE(IsAbs("/x"));
  EXPECT_FALSE(IsAbs("x/y"));
  EXPECT_FALSE(IsAbs(""));
}

}  // namespace
}  // namespace util
