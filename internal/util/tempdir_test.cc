#include "internal/util/tempdir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>

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

}  // namespace
}  // namespace util
