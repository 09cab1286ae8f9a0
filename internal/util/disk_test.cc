#include "internal/util/disk.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "internal/util/files.h"
#include "internal/util/tempdir.h"
#include "internal/testing/require.h"

namespace util {
namespace {

// A 1 MiB tmpfs mounted in this test process's own mount namespace, so no
// other process ever sees it; unmounted when the test ends.
class SmallFs : public ::testing::Test {
 protected:
  void SetUp() override {
    ZOL_REQUIRE(::geteuid() == 0, "mounting needs root");
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << ErrnoText(errno);
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0) << ErrnoText(errno);
    auto d = TempDir::Make("zol-disk-test-");
    ASSERT_TRUE(d.ok());
    dir_.emplace(std::move(*d));
    mnt_ = dir_->path() + "/fs";
    ASSERT_TRUE(EnsureDir(mnt_).ok());
    ASSERT_EQ(::mount("tmpfs", mnt_.c_str(), "tmpfs", 0, "size=1m"), 0) << ErrnoText(errno);
    mounted_ = true;
  }
  void TearDown() override {
    if (mounted_) {
      EXPECT_EQ(::umount2(mnt_.c_str(), MNT_DETACH), 0) << ErrnoText(errno);
    }
  }
  // Leaves about `left` bytes free on the tmpfs.
  void FillUntil(uint64_t left) {
    auto free_bytes = DiskFreeBytes(mnt_);
    ASSERT_TRUE(free_bytes.ok());
    ASSERT_GT(*free_bytes, left);
    ASSERT_TRUE(WriteFile(mnt_ + "/fill", std::string(*free_bytes - left, 'f'), 0644).ok());
  }

  std::optional<TempDir> dir_;
  std::string mnt_;
  bool mounted_ = false;
};

TEST_F(SmallFs, FreeBytesAreThoseOfTheFileSystem) {
  auto free_bytes = DiskFreeBytes(mnt_);
  ASSERT_TRUE(free_bytes.ok()) << free_bytes.error().message();
  EXPECT_EQ(*free_bytes, 1048576u);
  auto missing = DiskFreeBytes(mnt_ + "/nope");
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "statfs " + mnt_ + "/nope: no such file or directory");
}

TEST_F(SmallFs, RefusesWhenTooLittleIsFree) {
  EXPECT_EQ(CheckDiskSpace(mnt_, 3 * 1048576).message(),
            "insufficient disk space: need 3 MB, have 1 MB free on " + mnt_);
  FillUntil(100 * 1024);
  uint64_t have = *DiskFreeBytes(mnt_);
  ASSERT_LT(have, 1048576u);
  const std::string kb = std::to_string(have / 1024) + " KB";
  struct Case {
    uint64_t need;
    std::string want;  // "" when the space suffices
  };
  // The figures differ whenever need and have do, in the largest unit that
  // shows it.
  for (const Case& c : {Case{3 * 1048576, "need 3 MB, have 0 MB"}, Case{500000, "need 488 KB, have " + kb},
                        Case{have, ""}, Case{0, ""},
                        Case{have + 1, "need " + std::to_string(have + 1) + " bytes, have " + std::to_string(have) +
                                           " bytes"}}) {
    SCOPED_TRACE(c.need);
    Error err = CheckDiskSpace(mnt_, c.need);
    EXPECT_EQ(err.ok(), c.want.empty()) << err.message();
    if (!c.want.empty()) {
      EXPECT_EQ(err.message(), "insufficient disk space: " + c.want + " free on " + mnt_);
    }
  }
}

TEST_F(SmallFs, MissingDirectoryIsMeasuredOnItsAncestor) {
  std::string app_dir = mnt_ + "/opt/zol/apps";
  EXPECT_EQ(CheckDiskSpace(app_dir, 2 * 1048576).message(),
            "insufficient disk space: need 2 MB, have 1 MB free on " + app_dir);
  EXPECT_TRUE(CheckDiskSpace(app_dir, 1024).ok());
  EXPECT_FALSE(Exists(mnt_ + "/opt"));  // measuring creates nothing
}

TEST(DiskSpace, OtherFailuresOnlyWarn) {
  auto d = TempDir::Make("zol-disk-test-");
  ASSERT_TRUE(d.ok());
  std::string file = d->path() + "/file";
  ASSERT_TRUE(WriteFile(file, "x", 0644).ok());
  std::string under_file = file + "/apps";
  testing::internal::CaptureStderr();
  Error err = CheckDiskSpace(under_file, UINT64_MAX);
  std::string log = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(err.ok()) << err.message();
  EXPECT_NE(log.find("[WARN] "), std::string::npos) << log;
  EXPECT_NE(log.find("disk space check failed for " + under_file + ": statfs " + under_file +
                     ": not a directory"),
            std::string::npos)
      << log;
}

}  // namespace
}  // namespace util
