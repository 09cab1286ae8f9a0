#include "internal/util/tempdir.h"

#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

#include "internal/testing/require.h"
#include "internal/util/files.h"

namespace util {
namespace {

TEST(TempDirs, PrefixRandomNumberModeAndRemoval) {
  auto parent = TempDir::Make("zol-tempdir-test-");
  ASSERT_TRUE(parent.ok());
  const char* old = std::getenv("TMPDIR");
  std::string saved = old != nullptr ? old : "";
  ::setenv("TMPDIR", (parent->path() + "/").c_str(), 1);
  std::string kept, removed;
  {
    auto a = TempDir::Make("zol-sign-");
    auto b = TempDir::Make("zol-sign-");
    ASSERT_TRUE(a.ok() && b.ok());
    EXPECT_NE(a->path(), b->path());
    for (const TempDir* t : {&*a, &*b}) {
      const std::string name = t->path().substr(parent->path().size() + 1);
      EXPECT_EQ(t->path().substr(0, parent->path().size() + 1), parent->path() + "/");
      ASSERT_EQ(name.rfind("zol-sign-", 0), 0u) << name;
      EXPECT_EQ(name.find_first_not_of("0123456789", 9), std::string::npos) << name;
      EXPECT_GT(name.size(), 9u) << name;
      struct stat st;
      ASSERT_EQ(::stat(t->path().c_str(), &st), 0);
      EXPECT_EQ(st.st_mode & 07777, 0700u);
    }
    // Content below it, a read-only directory and a link out included, goes too.
    ASSERT_EQ(::mkdir((a->path() + "/ro").c_str(), 0500), 0);
    ASSERT_EQ(::symlink(parent->path().c_str(), (a->path() + "/out").c_str()), 0);
    removed = a->path();
    kept = b->Release();
  }
  if (old != nullptr) {
    ::setenv("TMPDIR", saved.c_str(), 1);
  } else {
    ::unsetenv("TMPDIR");
  }
  struct stat st;
  EXPECT_NE(::lstat(removed.c_str(), &st), 0);
  EXPECT_EQ(::stat(kept.c_str(), &st), 0) << "a released directory stays";
  EXPECT_EQ(::stat(parent->path().c_str(), &st), 0) << "the link out was not followed";
}


// A directory that cannot be removed (here: a mount inside it) is named in a
// warning instead of being left without a word.
TEST(TempDirs, FailedRemovalIsAWarningNamingThePath) {
  ZOL_REQUIRE(::geteuid() == 0, "mounting needs root");
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  std::string path;
  testing::internal::CaptureStderr();
  {
    auto d = TempDir::Make("zol-test-");
    ASSERT_TRUE(d.ok());
    path = d->path();
    ASSERT_EQ(::mkdir((path + "/busy").c_str(), 0755), 0);
    ASSERT_EQ(::mount("tmpfs", (path + "/busy").c_str(), "tmpfs", 0, "size=4k"), 0);
  }
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("[WARN] "), std::string::npos) << err;
  EXPECT_NE(err.find(" remove temporary directory " + path + ": "), std::string::npos) << err;
  ASSERT_EQ(::umount2((path + "/busy").c_str(), MNT_DETACH), 0);
  ASSERT_TRUE(RemoveAll(path).ok());
}

}  // namespace
}  // namespace util
