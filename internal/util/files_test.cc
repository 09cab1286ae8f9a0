#include "internal/util/files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal/util/tempdir.h"

namespace util {
namespace {

class Files : public ::testing::Test {
 protected:
  void SetUp() override {
    old_umask_ = ::umask(022);
    auto d = TempDir::Make("zol-files-test-");
    ASSERT_TRUE(d.ok());
    dir_.emplace(std::move(*d));
    root_ = dir_->path();
  }
  void TearDown() override { ::umask(old_umask_); }
  static mode_t Mode(const std::string& p) {
    struct stat st;
    return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
  }

  mode_t old_umask_ = 0;
  std::optional<TempDir> dir_;
  std::string root_;
};

TEST_F(Files, CopyFileMakesItsDirectoryAndDropsTheMode) {
  std::string src = root_ + "/tool";
  ASSERT_TRUE(WriteFile(src, "#!/bin/sh\necho hi\n", 0755).ok());
  ASSERT_EQ(::chmod(src.c_str(), 0755), 0);
  std::string dst = root_ + "/staging/deep/manifest.json";
  ASSERT_TRUE(CopyFile(src, dst).ok());
  EXPECT_EQ(*ReadFile(dst), "#!/bin/sh\necho hi\n");
  EXPECT_EQ(Mode(dst), 0644u);
  EXPECT_EQ(Mode(root_ + "/staging/deep"), 0755u);

  // A longer file there before is truncated, and a link as src is followed.
  ASSERT_TRUE(WriteFile(dst, std::string(100, 'z'), 0600).ok());
  ASSERT_EQ(::symlink(src.c_str(), (root_ + "/link").c_str()), 0);
  ASSERT_TRUE(CopyFile(root_ + "/link", dst).ok());
  EXPECT_EQ(*ReadFile(dst), "#!/bin/sh\necho hi\n");
}

TEST_F(Files, CopyFileFailuresTouchNothing) {
  struct Case {
    std::string src, error;
  };
  const Case cases[] = {
      {root_ + "/absent", "open " + root_ + "/absent: no such file or directory"},
      {root_, "read " + root_ + ": is a directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.src);
    EXPECT_EQ(CopyFile(c.src, root_ + "/out/x").message(), c.error);
    EXPECT_FALSE(Exists(root_ + "/out"));
  }
}

TEST_F(Files, ExistsFollowsLinks) {
  ASSERT_TRUE(WriteFile(root_ + "/f", "", 0644).ok());
  ASSERT_EQ(::symlink("f", (root_ + "/good").c_str()), 0);
  ASSERT_EQ(::symlink("missing", (root_ + "/dangling").c_str()), 0);
  EXPECT_TRUE(Exists(root_ + "/f"));
  EXPECT_TRUE(Exists(root_ + "/good"));
  EXPECT_FALSE(Exists(root_ + "/dangling"));
  EXPECT_FALSE(Exists(root_ + "/f/below"));
}

TEST_F(Files, EnsureDir) {
  EXPECT_TRUE(EnsureDir(root_ + "/a/b/c").ok());
  EXPECT_EQ(Mode(root_ + "/a/b"), 0755u);
  EXPECT_TRUE(EnsureDir(root_ + "/a/b/c").ok());
  ASSERT_TRUE(WriteFile(root_ + "/file", "", 0644).ok());
  EXPECT_EQ(EnsureDir(root_ + "/file").message(), "mkdir " + root_ + "/file: not a directory");
  EXPECT_EQ(EnsureDir(root_ + "/file/sub").message(), "mkdir " + root_ + "/file: not a directory");
}

TEST_F(Files, RemoveAllNeverFollowsLinks) {
  std::string outside = root_ + "/outside";
  ASSERT_TRUE(EnsureDir(outside).ok());
  ASSERT_TRUE(WriteFile(outside + "/keep", "k", 0644).ok());
  std::string tree = root_ + "/tree";
  ASSERT_TRUE(EnsureDir(tree + "/sub/deeper").ok());
  ASSERT_TRUE(WriteFile(tree + "/sub/deeper/f", "x", 0644).ok());
  ASSERT_EQ(::symlink(outside.c_str(), (tree + "/sub/link").c_str()), 0);
  ASSERT_EQ(::chmod((tree + "/sub").c_str(), 0500), 0);

  EXPECT_TRUE(RemoveAll(tree).ok());
  EXPECT_FALSE(Exists(tree));
  EXPECT_TRUE(Exists(outside + "/keep"));

  // A link given itself is removed, not its target.
  ASSERT_EQ(::symlink(outside.c_str(), (root_ + "/l").c_str()), 0);
  EXPECT_TRUE(RemoveAll(root_ + "/l").ok());
  EXPECT_TRUE(Exists(outside + "/keep"));
  EXPECT_TRUE(RemoveAll(root_ + "/never-there").ok());
}

}  // namespace
}  // namespace util
