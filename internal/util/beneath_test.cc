#include "internal/util/beneath.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "internal/testing/files.h"
#include "internal/util/tempdir.h"
#include "internal/testing/require.h"

namespace util {
namespace {

using testutil::Slurp;
using testutil::Spit;

bool LexistsAt(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

// Every case runs twice: resolved by the kernel and by the component walk.
class BeneathTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    SetBeneathFallbackForTesting(GetParam());
    auto t = TempDir::Make("zol-beneath-test-");
    ASSERT_TRUE(t.ok()) << t.error().message();
    outer_ = std::make_unique<TempDir>(std::move(*t));
    // outer/canary lies outside the root outer/root.
    canary_ = outer_->path() + "/canary";
    Spit(canary_, "untouched");
    ::chmod(canary_.c_str(), 0644);
    dir_ = outer_->path() + "/root";
    ASSERT_EQ(::mkdir(dir_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir((dir_ + "/sub").c_str(), 0755), 0);
    Spit(dir_ + "/f", "inside");
    Link("..", "up");
    Link("/etc", "abs");
    Link("sub", "in");
    Link("in/../up", "chain");
    Link(".", "self");
    Link("loop", "loop");
    auto r = Root::Open(dir_);
    ASSERT_TRUE(r.ok()) << r.error().message();
    root_ = std::make_unique<Root>(std::move(*r));
  }
  void TearDown() override { SetBeneathFallbackForTesting(false); }

  void Link(const std::string& target, const std::string& name) {
    ASSERT_EQ(::symlink(target.c_str(), (dir_ + "/" + name).c_str()), 0);
  }
  void ExpectCanaryIntact() {
    EXPECT_EQ(Slurp(canary_), "untouched");
    struct stat st;
    ASSERT_EQ(::stat(canary_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
  }

  std::unique_ptr<TempDir> outer_;
  std::string canary_, dir_;
  std::unique_ptr<Root> root_;
};

TEST_P(BeneathTest, OpenResolvesInsideAndRefusesEscapes) {
  struct Case {
    const char* rel;
    Root::Follow follow;
    int flags;
    int want_errno;  // 0: opens
  } cases[] = {
      {"f", Root::Follow::kNo, O_RDONLY, 0},
      {"in/../f", Root::Follow::kNo, O_RDONLY, 0},
      {"self/self/f", Root::Follow::kNo, O_RDONLY, 0},
      {"", Root::Follow::kNo, O_RDONLY | O_DIRECTORY, 0},
      {"in", Root::Follow::kYes, O_RDONLY | O_DIRECTORY, 0},
      {"in", Root::Follow::kNo, O_RDONLY, ELOOP},
      {"../canary", Root::Follow::kYes, O_RDONLY, EXDEV},
      {"sub/../../canary", Root::Follow::kYes, O_RDONLY, EXDEV},
      {"/etc/passwd", Root::Follow::kYes, O_RDONLY, EXDEV},
      {"up/canary", Root::Follow::kYes, O_RDONLY, EXDEV},
      {"abs/passwd", Root::Follow::kYes, O_RDONLY, EXDEV},
      {"chain/canary", Root::Follow::kYes, O_RDONLY, EXDEV},
      {"up/new", Root::Follow::kYes, O_WRONLY | O_CREAT, EXDEV},
      {"chain/canary", Root::Follow::kYes, O_WRONLY | O_TRUNC, EXDEV},
      {"loop", Root::Follow::kYes, O_RDONLY, ELOOP},
      {"missing/f", Root::Follow::kYes, O_RDONLY, ENOENT},
      {"f/x", Root::Follow::kYes, O_RDONLY, ENOTDIR},
  };
  for (const Case& c : cases) {
    auto fd = root_->OpenFile(c.rel, c.flags, 0644, c.follow);
    if (c.want_errno == 0) {
      EXPECT_TRUE(fd.ok()) << c.rel << ": " << fd.error().message();
    } else {
      ASSERT_FALSE(fd.ok()) << c.rel;
      EXPECT_EQ(fd.error().sys_errno(), c.want_errno) << c.rel << ": " << fd.error().message();
    }
  }
  ExpectCanaryIntact();
  EXPECT_FALSE(LexistsAt(outer_->path() + "/new"));
}

TEST_P(BeneathTest, ErrorNamesTheRootedPath) {
  auto fd = root_->OpenFile("up/canary", O_RDONLY, 0, Root::Follow::kYes);
  ASSERT_FALSE(fd.ok());
  EXPECT_EQ(fd.error().message(), "open " + dir_ + "/up/canary: invalid cross-device link");
}

TEST_P(BeneathTest, CreateNeverFollowsTheLastLink) {
  // A link planted where a file is about to be written is refused, not
  // written through, even when it points inside.
  auto fd = root_->OpenFile("in", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_FALSE(fd.ok());
  EXPECT_EQ(fd.error().sys_errno(), ELOOP);

  auto made = root_->OpenFile("sub/new", O_WRONLY | O_CREAT | O_EXCL, 0600);
  ASSERT_TRUE(made.ok()) << made.error().message();
  struct stat st;
  ASSERT_EQ(::fstat(made->get(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_NE(fcntl(made->get(), F_GETFD) & FD_CLOEXEC, 0);
}

TEST_P(BeneathTest, OperationsThroughEscapingLinksTouchNothingOutside) {
  struct Case {
    const char* what;
    std::function<Error()> op;
    int want_errno;
  } cases[] = {
      {"mkdir", [&] { return root_->Mkdir("up/x", 0755); }, EXDEV},
      {"mkdir -p", [&] { return root_->MkdirAll("chain/x/y", 0755); }, EXDEV},
      {"symlink", [&] { return root_->Symlink("f", "up/l"); }, EXDEV},
      {"link from outside", [&] { return root_->Link("up/canary", "h"); }, EXDEV},
      {"link to outside", [&] { return root_->Link("f", "abs/h"); }, EXDEV},
      {"rename out", [&] { return root_->Rename("f", "up/f"); }, EXDEV},
      {"rename in", [&] { return root_->Rename("up/canary", "c"); }, EXDEV},
      {"chmod", [&] { return root_->Chmod("up/canary", 0600); }, EXDEV},
      {"chmod link", [&] { return root_->Chmod("in", 0700); }, ELOOP},
      {"remove", [&] { return root_->Remove("up/canary"); }, EXDEV},
      {"remove dotdot", [&] { return root_->Remove("sub/.."); }, EBUSY},
      {"rename dotdot", [&] { return root_->Rename("..", "x"); }, EBUSY},
      {"stat", [&] { return root_->Stat("chain").error(); }, EXDEV},
      {"lstat", [&] { return root_->Lstat("up/canary").error(); }, EXDEV},
  };
  for (const Case& c : cases) {
    Error e = c.op();
    ASSERT_FALSE(e.ok()) << c.what;
    EXPECT_EQ(e.sys_errno(), c.want_errno) << c.what << ": " << e.message();
  }
  ExpectCanaryIntact();
  for (const char* name : {"x", "l", "h", "f"}) {
    EXPECT_FALSE(LexistsAt(outer_->path() + "/" + name)) << name;
  }
  EXPECT_EQ(Slurp(dir_ + "/f"), "inside");
}

TEST_P(BeneathTest, PathsHoldingNulAreRefused) {
  // The system calls read "..\0" as "..": such a name must never reach them.
  const std::string up("..\0/canary", 10);
  const std::string up_dir("..\0", 3);
  struct Case {
    const char* what;
    std::function<Error()> op;
  } cases[] = {
      {"open", [&] { return root_->OpenFile(up, O_RDONLY, 0, Root::Follow::kYes).error(); }},
      {"open for writing", [&] { return root_->OpenFile(up, O_WRONLY | O_TRUNC).error(); }},
      {"sub-root", [&] { return root_->Sub(up_dir).error(); }},
      {"mkdir", [&] { return root_->Mkdir(up_dir, 0755); }},
      {"mkdir -p", [&] { return root_->MkdirAll(up_dir + "/x", 0755); }},
      {"symlink", [&] { return root_->Symlink("f", up_dir + "/l"); }},
      {"symlink target", [&] { return root_->Symlink(std::string("f\0/../../canary", 15), "l"); }},
      {"link", [&] { return root_->Link(up, "h"); }},
      {"rename", [&] { return root_->Rename("f", up_dir + "/f"); }},
      {"chmod", [&] { return root_->Chmod(up, 0600); }},
      {"remove", [&] { return root_->Remove(up); }},
      {"remove all", [&] { return root_->RemoveAll(up_dir); }},
      {"stat", [&] { return root_->Stat(up).error(); }},
      {"lstat", [&] { return root_->Lstat(up).error(); }},
      {"readlink", [&] { return root_->Readlink(up).error(); }},
      {"stays inside", [&] {
         auto r = root_->StaysInside(up);
         return r.ok() ? Error() : r.error();
       }},
  };
  for (const Case& c : cases) {
    Error e = c.op();
    EXPECT_EQ(e.sys_errno(), EINVAL) << c.what << ": " << e.message();
  }
  ExpectCanaryIntact();
  for (const char* name : {"x", "l", "h", "f"}) {
    EXPECT_FALSE(LexistsAt(outer_->path() + "/" + name)) << name;
  }
  EXPECT_FALSE(LexistsAt(dir_ + "/l"));
  EXPECT_EQ(Slurp(dir_ + "/f"), "inside");
}

TEST_P(BeneathTest, MkdirAllCreatesWithModeAndFollowsLinksInside) {
  ::umask(022);
  ASSERT_TRUE(root_->MkdirAll("a/b/c", 0750).ok());
  struct stat st;
  ASSERT_EQ(::stat((dir_ + "/a/b").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0750u);
  EXPECT_TRUE(root_->MkdirAll("a/b/c", 0700).ok()) << "existing directory is success";
  // in -> sub: created inside sub.
  ASSERT_TRUE(root_->MkdirAll("in/n", 0755).ok());
  EXPECT_TRUE(LexistsAt(dir_ + "/sub/n"));
  Error e = root_->MkdirAll("f/x", 0755);
  EXPECT_EQ(e.sys_errno(), ENOTDIR) << e.message();
  e = root_->MkdirAll("f", 0755);
  EXPECT_EQ(e.sys_errno(), ENOTDIR) << e.message();
  // A dangling link is never created through.
  ASSERT_EQ(::symlink("nowhere", (dir_ + "/dangle").c_str()), 0);
  e = root_->MkdirAll("dangle/x", 0755);
  EXPECT_EQ(e.sys_errno(), EEXIST) << e.message();
  EXPECT_FALSE(LexistsAt(dir_ + "/nowhere"));
}

TEST_P(BeneathTest, LinksStatsAndRemoval) {
  ASSERT_TRUE(root_->Symlink("../f", "sub/l").ok());
  auto target = root_->Readlink("sub/l");
  ASSERT_TRUE(target.ok());
  EXPECT_EQ(*target, "../f");
  Error dup = root_->Symlink("x", "sub/l");
  EXPECT_EQ(dup.message(), "symlink x " + dir_ + "/sub/l: file exists");

  auto lst = root_->Lstat("sub/l");
  ASSERT_TRUE(lst.ok());
  EXPECT_TRUE(S_ISLNK(lst->st_mode));
  auto st = root_->Stat("sub/l");
  ASSERT_TRUE(st.ok());
  EXPECT_TRUE(S_ISREG(st->st_mode));
  EXPECT_EQ(root_->Readlink("f").error().sys_errno(), EINVAL);

  // A hard link of a link is the link itself, not its target.
  ASSERT_TRUE(root_->Link("sub/l", "hl").ok());
  auto hl = root_->Lstat("hl");
  ASSERT_TRUE(hl.ok());
  EXPECT_TRUE(S_ISLNK(hl->st_mode));

  ASSERT_TRUE(root_->Chmod("f", 0600).ok());
  struct stat fst;
  ASSERT_EQ(::stat((dir_ + "/f").c_str(), &fst), 0);
  EXPECT_EQ(fst.st_mode & 07777, 0600u);

  ASSERT_TRUE(root_->Rename("f", "sub/g").ok());
  EXPECT_EQ(Slurp(dir_ + "/sub/g"), "inside");

  ASSERT_TRUE(root_->MkdirAll("t/u/v", 0755).ok());
  ASSERT_TRUE(root_->Symlink("../../up", "t/u/esc").ok());
  ASSERT_TRUE(root_->RemoveAll("t").ok());
  EXPECT_FALSE(LexistsAt(dir_ + "/t"));
  // Removing the link "up" removes the link only.
  ASSERT_TRUE(root_->RemoveAll("up").ok());
  EXPECT_FALSE(LexistsAt(dir_ + "/up"));
  EXPECT_TRUE(LexistsAt(dir_));
  EXPECT_TRUE(root_->RemoveAll("missing").ok());
  ExpectCanaryIntact();

  auto sub = root_->Sub("in");
  ASSERT_TRUE(sub.ok());
  EXPECT_EQ(sub->path(), dir_ + "/in");
  EXPECT_EQ(sub->OpenFile("../f", O_RDONLY).error().sys_errno(), EXDEV)
      << "a sub-root contains as tightly as a root";
}

TEST_P(BeneathTest, StaysInside) {
  Link("missing/../../canary", "later");
  Link("missing/../f", "later_in");
  Link("f/../../canary", "through_file");
  Link("../f", "sub/ok");
  Link("../up", "sub/out");
  struct Case {
    const char* rel;
    bool inside;
  } cases[] = {
      {"f", true},        {"self", true},      {"in", true},
      {"sub/ok", true},   {"later_in", true},  {"loop", true},
      {"missing", true},  {"up", false},       {"abs", false},
      {"chain", false},   {"later", false},    {"through_file", false},
      {"sub/out", false}, {"../x", false},     {"/x", false},
      {"self/../x", false},
  };
  for (const Case& c : cases) {
    auto r = root_->StaysInside(c.rel);
    ASSERT_TRUE(r.ok()) << c.rel << ": " << r.error().message();
    EXPECT_EQ(*r, c.inside) << c.rel;
  }
}

// A tree that is to become a root: its absolute links and ".." mean places in
// it, and what is mounted into it is never entered.
TEST_P(BeneathTest, InRootResolvesAsTheTreesOwnRoot) {
  ASSERT_EQ(::mkdir((dir_ + "/etc").c_str(), 0755), 0);
  Spit(dir_ + "/etc/passwd", "layer");
  auto r = Root::Open(dir_, Root::Scope::kInRoot);
  ASSERT_TRUE(r.ok()) << r.error().message();
  struct Case {
    const char* rel;
    const char* content;  // nullptr: fails with want_errno
    int want_errno;
  } cases[] = {
      {"abs/passwd", "layer", 0},
      {"/etc/passwd", "layer", 0},
      {"up/f", "inside", 0},
      {"chain/f", "inside", 0},
      {"sub/../../../f", "inside", 0},
      {"up/canary", nullptr, ENOENT},
      {"loop", nullptr, ELOOP},
  };
  for (const Case& c : cases) {
    auto fd = r->OpenFile(c.rel, O_RDONLY, 0, Root::Follow::kYes);
    if (c.content == nullptr) {
      ASSERT_FALSE(fd.ok()) << c.rel;
      EXPECT_EQ(fd.error().sys_errno(), c.want_errno) << c.rel << ": " << fd.error().message();
      continue;
    }
    ASSERT_TRUE(fd.ok()) << c.rel << ": " << fd.error().message();
    char buf[16] = {};
    EXPECT_EQ(std::string(buf, static_cast<size_t>(::read(fd->get(), buf, sizeof buf))), c.content) << c.rel;
  }
  ASSERT_TRUE(r->MkdirAll("up/abs/made", 0755).ok());
  EXPECT_TRUE(LexistsAt(dir_ + "/etc/made"));
  auto created = r->OpenFile("up/new", O_WRONLY | O_CREAT, 0644, Root::Follow::kYes);
  ASSERT_TRUE(created.ok()) << created.error().message();
  EXPECT_TRUE(LexistsAt(dir_ + "/new"));
  EXPECT_FALSE(LexistsAt(outer_->path() + "/new"));
  ExpectCanaryIntact();

  if (::geteuid() != 0) return;
  // A mount below the root is a wall, reached by name or through a link.
  std::thread t([&] {
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount("", "/", "", MS_REC | MS_PRIVATE, ""), 0);
    ASSERT_EQ(::mount("none", (dir_ + "/sub").c_str(), "tmpfs", 0, ""), 0);
    // Opened in this namespace: a descriptor from before sees the old tree.
    auto in_ns = Root::Open(dir_, Root::Scope::kInRoot);
    ASSERT_TRUE(in_ns.ok());
    for (const char* rel : {"sub", "sub/x", "in", "in/x"}) {
      auto fd = in_ns->OpenFile(rel, O_WRONLY | O_CREAT, 0644, Root::Follow::kYes);
      ASSERT_FALSE(fd.ok()) << rel;
      EXPECT_EQ(fd.error().sys_errno(), EXDEV) << rel << ": " << fd.error().message();
    }
    EXPECT_FALSE(in_ns->MkdirAll("in/made", 0755).ok());
    auto beneath = Root::Open(dir_);
    ASSERT_TRUE(beneath.ok());
    EXPECT_TRUE(beneath->OpenFile("sub", O_RDONLY | O_DIRECTORY).ok()) << "only kInRoot stops at mounts";
  });
  t.join();
}

INSTANTIATE_TEST_SUITE_P(Resolution, BeneathTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "walk" : "openat2"; });

TEST(Beneath, KernelResolutionIsUsedUnlessForced) {
  ZOL_REQUIRE(BeneathUsesOpenat2(), "kernel without openat2: the walk is all there is");
  SetBeneathFallbackForTesting(true);
  EXPECT_FALSE(BeneathUsesOpenat2());
  SetBeneathFallbackForTesting(false);
}

}  // namespace
}  // namespace util
