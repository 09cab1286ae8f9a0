#include "internal/util/files.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <iterator>

#include "internal/util/fd.h"
#include "internal/util/tempdir.h"
#include "internal/testing/require.h"

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

// The kernel's copy fails on a full disk as a write does: the message must
// name the destination, not the file being read.
TEST_F(Files, KernelCopyOnAFullDiskNamesTheDestination) {
  ZOL_REQUIRE(::geteuid() == 0, "mounting needs root");
  const std::string fs = root_ + "/fs";
  ASSERT_EQ(::mkdir(fs.c_str(), 0755), 0);
  // Its own thread, so the mount stays in that thread's namespace.
  std::thread t([&] {
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    // Both files on one small file system, so the kernel copies in place.
    ASSERT_EQ(::mount("tmpfs", fs.c_str(), "tmpfs", 0, "size=1m"), 0);
    ASSERT_TRUE(WriteFile(fs + "/src", std::string(640 * 1024, 'x'), 0644).ok());
    UniqueFd in(::open((fs + "/src").c_str(), O_RDONLY | O_CLOEXEC));
    UniqueFd out(::open((fs + "/dst").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    ASSERT_TRUE(in.valid() && out.valid());
    EXPECT_EQ(CopyBytes(in.get(), fs + "/src", out.get(), fs + "/dst").message(),
              "write " + fs + "/dst: no space left on device");
    EXPECT_EQ(::umount2(fs.c_str(), MNT_DETACH), 0);
  });
  t.join();
}

TEST_F(Files, WholeFileReads) {
  // Longer than one read, so the pieces must join up.
  const std::string big(64 * 1024 + 7, 'b');
  ASSERT_TRUE(WriteFile(root_ + "/big", big, 0644).ok());
  ASSERT_TRUE(WriteFile(root_ + "/four", "1234", 0644).ok());
  ASSERT_EQ(::symlink("four", (root_ + "/link").c_str()), 0);
  ASSERT_EQ(::mkfifo((root_ + "/fifo").c_str(), 0644), 0);
  struct Case {
    const char* what;
    std::function<Result<std::string>()> read;
    std::string want;  // the content, or the error after "!"
  };
  const Case cases[] = {
      {"whole", [&] { return ReadFile(root_ + "/big"); }, big},
      {"through a link", [&] { return ReadFile(root_ + "/link"); }, "1234"},
      {"link refused", [&] { return ReadFile(root_ + "/link", O_NOFOLLOW); },
       "!open " + root_ + "/link: too many levels of symbolic links"},
      {"missing", [&] { return ReadFile(root_ + "/absent"); }, "!open " + root_ + "/absent: no such file or directory"},
      {"directory", [&] { return ReadFile(root_); }, "!read " + root_ + ": is a directory"},
      {"bound met exactly", [&] { return ReadFile(root_ + "/four", 0, 4); }, "1234"},
      {"bound passed", [&] { return ReadFile(root_ + "/four", 0, 3); },
       "!read " + root_ + "/four: file larger than 3 bytes"},
      {"bound passed by a large file", [&] { return ReadFile(root_ + "/big", 0, 65536); },
       "!read " + root_ + "/big: file larger than 65536 bytes"},
      // No size to go by: the bound holds as the bytes come.
      {"endless device", [&] { return ReadFile("/dev/zero", 0, 100000); },
       "!read /dev/zero: file larger than 100000 bytes"},
      // Where only a regular file will do, nothing else is waited for.
      {"regular only, through a link", [&] { return ReadRegularFile(root_ + "/link"); }, "1234"},
      {"regular only, FIFO without a writer", [&] { return ReadRegularFile(root_ + "/fifo"); },
       "!read " + root_ + "/fifo: not a regular file"},
      {"regular only, device", [&] { return ReadRegularFile("/dev/zero"); }, "!read /dev/zero: not a regular file"},
      {"regular only, directory", [&] { return ReadRegularFile(root_); }, "!read " + root_ + ": is a directory"},
      {"regular only, bound", [&] { return ReadRegularFile(root_ + "/four", 3); },
       "!read " + root_ + "/four: file larger than 3 bytes"},
  };
  for (const Case& c : cases) {
    Result<std::string> got = c.read();
    EXPECT_EQ(got.ok() ? *got : "!" + got.error().message(), c.want) << c.what;
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

TEST_F(Files, RemoveAllStopsAtMountPoints) {
  ZOL_REQUIRE(::geteuid() == 0, "needs root to mount");
  // A bind of a directory of the same file system: the device number alone
  // would not tell it from the tree around it.
  std::string home = root_ + "/home";
  ASSERT_TRUE(EnsureDir(home + "/user").ok());
  ASSERT_TRUE(WriteFile(home + "/user/keep", "k", 0644).ok());
  std::string tree = root_ + "/run/zol-1";
  ASSERT_TRUE(EnsureDir(tree + "/merged/home").ok());
  ASSERT_TRUE(EnsureDir(tree + "/upper/etc").ok());
  ASSERT_TRUE(WriteFile(tree + "/merged/hosts", "", 0644).ok());
  std::thread t([&] {
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount("", "/", "", MS_REC | MS_PRIVATE, ""), 0);
    ASSERT_EQ(::mount(home.c_str(), (tree + "/merged/home").c_str(), "", MS_BIND, ""), 0);
    ASSERT_EQ(::mount((home + "/user/keep").c_str(), (tree + "/merged/hosts").c_str(), "", MS_BIND, ""), 0);
    Error err = RemoveAll(tree);
    EXPECT_FALSE(err.ok());
    EXPECT_TRUE(Exists(home + "/user/keep"));
    EXPECT_FALSE(Exists(tree + "/upper"));
    EXPECT_TRUE(Exists(tree + "/merged/home/user/keep"));
  });
  t.join();
  EXPECT_TRUE(Exists(home + "/user/keep"));
}

TEST_F(Files, RemoveAllOfATreeDeeperThanTheDescriptorLimit) {
  // A package can nest directories far deeper than the number of
  // descriptors a process may hold; its temporary tree must still go.
  constexpr int kDepth = 100;
  std::string outside = root_ + "/outside";
  ASSERT_TRUE(WriteFile(outside, "k", 0644).ok());
  std::string tree = root_ + "/deep";
  ASSERT_TRUE(EnsureDir(tree).ok());
  int fd = ::open(tree.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  for (int i = 0; i < kDepth; ++i) {
    ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
    ASSERT_EQ(::mkdirat(fd, "wide", 0700), 0);  // a second directory per level
    ASSERT_EQ(::symlinkat(outside.c_str(), fd, "link"), 0);
    int sub = ::openat(fd, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ::close(fd);
    ASSERT_GE(sub, 0);
    fd = sub;
  }
  ASSERT_EQ(::mkdirat(fd, "last", 0500), 0);
  ::close(fd);

  struct rlimit saved;
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  struct rlimit low = saved;
  low.rlim_cur = 32;
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
  Error err = RemoveAll(tree);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &saved), 0);
  EXPECT_TRUE(err.ok()) << err.message().substr(0, 300);
  EXPECT_FALSE(Exists(tree));
  EXPECT_EQ(ReadFile(outside).value(), "k");
}

// A tree that an ordinary user extracted from a package may hold
// directories its owner can neither read nor change; removing it as that
// user must still leave nothing behind.
TEST_F(Files, RemoveAllAsItsOwnerOfDirectoriesWithoutPermissions) {
  ZOL_REQUIRE(::geteuid() == 0, "needs root to act as another user");
  const std::string tree = root_ + "/tree";
  ASSERT_EQ(::chmod(root_.c_str(), 0777), 0);
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::setresgid(65534, 65534, 65534) != 0 || ::setresuid(65534, 65534, 65534) != 0) ::_exit(10);
    struct Dir {
      const char* path;
      mode_t mode;
    } dirs[] = {{"", 0000}, {"/none", 0000}, {"/none/deeper", 0000}, {"/read-only", 0500}, {"/search-only", 0100},
                {"/write-only", 0300}};
    // Children first are filled, then every mode is set from the bottom up.
    for (const Dir& d : dirs) {
      std::string p = tree + d.path;
      if (::mkdir(p.c_str(), 0700) != 0) ::_exit(11);
      if (WriteFile(p + "/f", "x", 0000).ok() == false) ::_exit(12);
    }
    for (auto it = std::rbegin(dirs); it != std::rend(dirs); ++it) {
      if (::chmod((tree + it->path).c_str(), it->mode) != 0) ::_exit(13);
    }
    Error e = RemoveAll(tree);
    ::_exit(!e.ok() ? 14 : Exists(tree) ? 15 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  struct stat st;
  EXPECT_NE(::lstat(tree.c_str(), &st), 0);
}

}  // namespace
}  // namespace util
