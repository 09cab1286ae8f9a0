#include "internal/util/copy_tree.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "internal/testing/files.h"
#include "internal/util/files.h"
#include "internal/util/tempdir.h"

namespace util {
namespace {

using testutil::Slurp;
using testutil::Spit;

// A source tree with a file of mode 0750, a directory of mode 0710, a
// relative link, an absolute link to a file outside, and a destination
// beside it.
class CopyTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto dir = TempDir::Make("copy-tree-");
    ASSERT_TRUE(dir.ok());
    dir_.emplace(std::move(*dir));
    Spit(Path("outside"), "outside");
    Spit(Path("src/d/run"), "#!/bin/sh\n", 0750);
    ASSERT_EQ(::chmod(Path("src/d").c_str(), 0710), 0);
    Spit(Path("src/top"), "top");
    ASSERT_EQ(::symlink("d/run", Path("src/rel").c_str()), 0);
    ASSERT_EQ(::symlink(Path("outside").c_str(), Path("src/abs").c_str()), 0);
    ASSERT_EQ(::mkdir(Path("dst").c_str(), 0755), 0);
    old_umask_ = ::umask(0022);
  }
  void TearDown() override { ::umask(old_umask_); }

  std::string Path(const std::string& rel) const { return dir_->path() + "/" + rel; }
  // The destination directory `name`, made empty when missing.
  Root Dst(const std::string& name = "dst") const {
    ::mkdir(Path(name).c_str(), 0755);
    auto root = Root::Open(Path(name));
    EXPECT_TRUE(root.ok());
    return std::move(*root);
  }
  mode_t ModeOf(const std::string& rel) const {
    struct stat st {};
    EXPECT_EQ(::lstat(Path(rel).c_str(), &st), 0) << rel;
    return st.st_mode;
  }
  std::string LinkText(const std::string& rel) const {
    char buf[256];
    ssize_t n = ::readlink(Path(rel).c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, static_cast<size_t>(n));
  }

  std::optional<TempDir> dir_;
  mode_t old_umask_ = 0;
};

TEST_F(CopyTreeTest, KeepsLinksAndModes) {
  // A link already at a link's place goes; a file there is replaced.
  ASSERT_EQ(::symlink("elsewhere", Path("dst/rel").c_str()), 0);
  ASSERT_TRUE(CopyTree(Path("src"), Dst()).ok());
  EXPECT_EQ(Slurp(Path("dst/d/run")), "#!/bin/sh\n");
  EXPECT_EQ(ModeOf("dst/d/run") & 07777, 0750u);
  EXPECT_EQ(ModeOf("dst/d") & 07777, 0710u);
  EXPECT_TRUE(S_ISLNK(ModeOf("dst/rel")));
  EXPECT_EQ(LinkText("dst/rel"), "d/run");
  EXPECT_EQ(LinkText("dst/abs"), Path("outside"));
  EXPECT_EQ(Slurp(Path("outside")), "outside");
}

TEST_F(CopyTreeTest, FollowedLinksBecomeFilesAndSkippedDirectoriesStayOut) {
  CopyTreeOptions options;
  options.follow_links = true;
  options.skip_dir = [&](const struct stat& st) {
    struct stat d {};
    return ::stat(Path("src/d").c_str(), &d) == 0 && st.st_ino == d.st_ino;
  };
  // Targets outside the tree with bits of their own: the copies take the
  // link's bits, 0777 less the umask, and none comes out setuid.
  Spit(Path("secret"), "s", 0600);
  Spit(Path("suid"), "u", 0755);
  ASSERT_EQ(::chmod(Path("suid").c_str(), 04755), 0);
  ASSERT_EQ(::symlink(Path("secret").c_str(), Path("src/to-secret").c_str()), 0);
  ASSERT_EQ(::symlink(Path("suid").c_str(), Path("src/to-suid").c_str()), 0);
  ASSERT_TRUE(CopyTree(Path("src"), Dst(), options).ok());
  EXPECT_EQ(Slurp(Path("dst/abs")), "outside");
  EXPECT_TRUE(S_ISREG(ModeOf("dst/abs")));
  EXPECT_EQ(Slurp(Path("dst/rel")), "#!/bin/sh\n");
  for (const char* rel : {"dst/abs", "dst/rel", "dst/to-secret", "dst/to-suid"}) {
    EXPECT_EQ(ModeOf(rel) & 07777, 0755u) << rel;
  }
  EXPECT_EQ(Slurp(Path("dst/to-suid")), "u");
  // A file of the tree itself keeps its bits.
  EXPECT_EQ(ModeOf("dst/top") & 07777, ModeOf("src/top") & 07777);
  EXPECT_FALSE(Exists(Path("dst/d")));
}

TEST_F(CopyTreeTest, NeverWritesOutsideTheDestination) {
  // Links in the destination that lead out: a file is not written through
  // one, nor a tree descended through one.
  ASSERT_EQ(::symlink(Path("outside").c_str(), Path("dst/top").c_str()), 0);
  Error e = CopyTree(Path("src"), Dst());
  EXPECT_EQ(e.message(), "open " + Path("dst/top") + ": too many levels of symbolic links");
  EXPECT_EQ(Slurp(Path("outside")), "outside");

  ASSERT_EQ(::mkdir(Path("away").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(Path("dst2").c_str(), 0755), 0);
  ASSERT_EQ(::symlink(Path("away").c_str(), Path("dst2/d").c_str()), 0);
  e = CopyTree(Path("src"), Dst("dst2"));
  EXPECT_FALSE(e.ok());
  EXPECT_FALSE(Exists(Path("away/run")));
}

TEST_F(CopyTreeTest, RefusesWhatIsNotAFile) {
  ASSERT_EQ(::mkfifo(Path("src/pipe").c_str(), 0644), 0);
  EXPECT_EQ(CopyTree(Path("src"), Dst()).message(), "copy " + Path("src/pipe") + ": not a regular file");

  CopyTreeOptions options;
  options.refuse = [](const std::string& src, mode_t mode) {
    return Error::Msg(src + (S_ISFIFO(mode) ? " is a pipe" : " is odd"));
  };
  EXPECT_EQ(CopyTree(Path("src"), Dst(), options).message(), Path("src/pipe") + " is a pipe");

  // A followed link to a directory fails as reading a directory does.
  ASSERT_EQ(::unlink(Path("src/pipe").c_str()), 0);
  ASSERT_EQ(::symlink("d", Path("src/dirlink").c_str()), 0);
  options.follow_links = true;
  EXPECT_EQ(CopyTree(Path("src"), Dst("dst2"), options).message(), "read " + Path("src/dirlink") + ": is a directory");
}

}  // namespace
}  // namespace util
