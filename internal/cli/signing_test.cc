#include "internal/cli/signing.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "internal/testing/files.h"
#include "internal/util/tempdir.h"

namespace cli {
namespace {

using testutil::Slurp;
using testutil::Spit;

std::string Listing(const std::string& dir) {
  std::string out;
  FILE* p = ::popen(("ls -A '" + dir + "'").c_str(), "r");
  char buf[512];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  ::pclose(p);
  return out;
}

class Repack : public ::testing::Test {
 protected:
  void SetUp() override {
    auto d = util::TempDir::Make("repack-test-");
    ASSERT_TRUE(d.ok());
    dir_.emplace(std::move(*d));
    tree_ = dir_->path() + "/tree";
    out_ = dir_->path() + "/out";
    ASSERT_EQ(::mkdir(tree_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(out_.c_str(), 0755), 0);
    Spit(tree_ + "/manifest.json", "{}");
    pkg_ = out_ + "/app.zol";
    Spit(pkg_, "old package");
  }
  std::optional<util::TempDir> dir_;
  std::string tree_, out_, pkg_;
};

TEST_F(Repack, KeepsModeAndOwnerAndLeavesNothingBeside) {
  ASSERT_EQ(::chmod(pkg_.c_str(), 0604), 0);
  bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(pkg_.c_str(), 1234, 4321), 0);
  }
  util::Error e = RepackPackage(tree_, pkg_);
  ASSERT_TRUE(e.ok()) << e.message();
  struct stat st {};
  ASSERT_EQ(::stat(pkg_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0604u);
  if (root) {
    EXPECT_EQ(st.st_uid, 1234u);
    EXPECT_EQ(st.st_gid, 4321u);
  }
  EXPECT_EQ(Slurp(pkg_).substr(0, 2), "\x1f\x8b");
  EXPECT_EQ(Listing(out_), "app.zol\n");
}

TEST_F(Repack, LinkedPackageIsReplacedWhereTheLinkPoints) {
  std::string link = dir_->path() + "/link.zol";
  ASSERT_EQ(::symlink(pkg_.c_str(), link.c_str()), 0);
  ASSERT_TRUE(RepackPackage(tree_, link).ok());
  struct stat st {};
  ASSERT_EQ(::lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(Slurp(pkg_).substr(0, 2), "\x1f\x8b");
}

TEST_F(Repack, FailedPackLeavesTheOldPackageWhole) {
  // A socket cannot be packed, so the writer fails after it has begun.
  std::string sock = tree_ + "/sock";
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", sock.c_str());
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  util::Error e = RepackPackage(tree_, pkg_);
  ::close(fd);
  EXPECT_FALSE(e.ok());
  EXPECT_EQ(Slurp(pkg_), "old package");
  EXPECT_EQ(Listing(out_), "app.zol\n");
}

}  // namespace
}  // namespace cli
