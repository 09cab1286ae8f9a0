#include "internal/pkgfmt/pack_tree.h"
#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/gzip_testing.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>
#include <zlib.h>

#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "internal/testing/files.h"
#include "internal/util/files.h"
#include "internal/util/process.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"

namespace pkgfmt {
namespace {

using testutil::Slurp;
using testutil::Spit;


// Member names in archive order, long names taken from their PAX records.
std::vector<std::string> RawNames(const std::string& tar) {
  std::vector<std::string> names;
  std::string pax_path;
  for (size_t off = 0; off + 512 <= tar.size();) {
    std::string blk = tar.substr(off, 512);
    if (blk == std::string(512, '\0')) break;
    int64_t size = std::stoll(blk.substr(124, 11), nullptr, 8);
    char type = blk[156];
    std::string data = tar.substr(off + 512, static_cast<size_t>(size));
    off += 512 + (static_cast<size_t>(size) + 511) / 512 * 512;
    if (type == 'x') {
      size_t p = data.find(" path=");
      if (p != std::string::npos) pax_path = data.substr(p + 6, data.find('\n', p) - p - 6);
      continue;
    }
    std::string name = blk.substr(0, 100).c_str();
    std::string prefix = blk.substr(345, 155).c_str();
    if (!prefix.empty()) name = prefix + "/" + name;
    names.push_back(pax_path.empty() ? name : pax_path);
    pax_path.clear();
  }
  return names;
}

class CreateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto t = util::TempDir::Make("zol-create-test-");
    ASSERT_TRUE(t.ok()) << t.error().message();
    base_ = std::make_unique<util::TempDir>(std::move(*t));
    src_ = base_->path() + "/src";
    pkg_ = base_->path() + "/out.zol";
    ASSERT_EQ(::mkdir(src_.c_str(), 0755), 0);
  }
  void Put(const std::string& rel, const std::string& content, mode_t mode = 0644) {
    Spit(src_ + "/" + rel, content);
    ASSERT_EQ(::chmod((src_ + "/" + rel).c_str(), mode), 0);
  }
  void MkDir(const std::string& rel, mode_t mode = 0755) {
    ASSERT_EQ(::mkdir((src_ + "/" + rel).c_str(), mode), 0);
    ASSERT_EQ(::chmod((src_ + "/" + rel).c_str(), mode), 0);
  }
  std::string Run(const std::string& prog, std::vector<std::string> args) {
    util::Command cmd;
    cmd.path = prog;
    cmd.args = std::move(args);
    auto out = util::RunProcessOutput(cmd);
    EXPECT_TRUE(out.ok()) << prog << ": " << out.error().message();
    return out.ok() ? *out : "";
  }

  std::unique_ptr<util::TempDir> base_;
  std::string src_, pkg_;
};

TEST_F(CreateTest, WritesTheLayoutOtherToolsRead) {
  const std::string long_name = "long/" + std::string(120, 'n');
  MkDir("a");
  Put("a/x", "x");
  Put("a-b", "ab");
  Put("caf\xc3\xa9", "unicode");
  MkDir("e", 0700);
  ASSERT_EQ(::symlink("a/x", (src_ + "/link").c_str()), 0);
  Put("hl1", "same");
  ASSERT_EQ(::link((src_ + "/hl1").c_str(), (src_ + "/hl2").c_str()), 0);
  MkDir("long");
  Put(long_name, "deep");
  Put("suid", "s", 04755);
  ASSERT_TRUE(CreateTarGz(src_, pkg_).ok());

  const std::string gz = Slurp(pkg_);
  const unsigned char header[10] = {0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 255};
  ASSERT_GT(gz.size(), 10u);
  EXPECT_EQ(std::memcmp(gz.data(), header, 10), 0) << "no name, no time in the gzip header";

  const std::string tar = InflateOneMember(gz);
  ASSERT_EQ(tar.size() % 512, 0u);
  EXPECT_EQ(tar.substr(tar.size() - 1024), std::string(1024, '\0'));
  EXPECT_NE(tar.substr(tar.size() - 1536, 512), std::string(512, '\0')) << "exactly two end blocks, no padding";

  // Each directory before its contents, names within a directory in byte
  // order: "a/x" comes before "a-b" although '-' sorts before '/'.
  const std::vector<std::string> order = {"a",   "a/x",  "a-b",  "caf\xc3\xa9", "e",   "hl1",
                                          "hl2", "link", "long", long_name,     "suid"};
  EXPECT_EQ(RawNames(tar), order);

  std::string listing = Run("tar", {"--quoting-style=literal", "-tzf", pkg_});
  std::string want;
  for (const std::string& n : order) want += n + "\n";
  EXPECT_EQ(listing, want) << "GNU tar lists the names as stored: no \"./\", no trailing \"/\"";

  const char* script =
      "import tarfile, sys\n"
      "for m in tarfile.open(sys.argv[1]):\n"
      "    print(m.name, m.type.decode(), oct(m.mode), m.size, m.linkname, m.pax_headers.get('path', '-') != '-')\n";
  std::string py = Run("python3", {"-c", script, pkg_});
  std::string want_py =
      "a 5 0o755 0  False\n"
      "a/x 0 0o644 1  False\n"
      "a-b 0 0o644 2  False\n"
      "caf\xc3\xa9 0 0o644 7  True\n"
      "e 5 0o700 0  False\n"
      "hl1 0 0o644 4  False\n"
      "hl2 0 0o644 4  False\n"
      "link 2 0o777 0 a/x False\n"
      "long 5 0o755 0  False\n" +
      long_name + " 0 0o644 4  True\n" +
      "suid 0 0o4755 1  False\n";
  EXPECT_EQ(py, want_py) << "both names of a hard link carry the content; PAX only for the long and non-ASCII names";

  const std::string out = base_->path() + "/out";
  ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
  util::Error e = ExtractTarGz(pkg_, out);
  ASSERT_TRUE(e.ok()) << e.message();
  EXPECT_EQ(Slurp(out + "/" + long_name), "deep");
  EXPECT_EQ(Slurp(out + "/link"), "x");
  EXPECT_EQ(Slurp(out + "/hl2"), "same");
}

TEST_F(CreateTest, RecordsMtimeToTheNearestSecond) {
  Put("up", "u");
  Put("down", "d");
  struct timespec up[2] = {{0, UTIME_OMIT}, {1700000000, 600000000}};
  struct timespec down[2] = {{0, UTIME_OMIT}, {1700000000, 400000000}};
  ASSERT_EQ(::utimensat(AT_FDCWD, (src_ + "/up").c_str(), up, AT_SYMLINK_NOFOLLOW), 0);
  ASSERT_EQ(::utimensat(AT_FDCWD, (src_ + "/down").c_str(), down, AT_SYMLINK_NOFOLLOW), 0);
  ASSERT_TRUE(CreateTarGz(src_, pkg_).ok());
  const std::string tar = InflateOneMember(Slurp(pkg_));
  // "down" sorts first; each member is one header plus one data block.
  EXPECT_EQ(tar.substr(136, 12), util::Sprintf("%011o", 1700000000) + std::string(1, '\0'));
  EXPECT_EQ(tar.substr(1024 + 136, 12), util::Sprintf("%011o", 1700000001) + std::string(1, '\0'));
}

TEST_F(CreateTest, FailuresAndWhatTheyLeave) {
  // A missing source still closes into a valid archive without members.
  const std::string missing = base_->path() + "/missing";
  EXPECT_EQ(CreateTarGz(missing, pkg_).message(), "lstat " + missing + ": no such file or directory");
  EXPECT_EQ(InflateOneMember(Slurp(pkg_)), std::string(1024, '\0'));

  EXPECT_EQ(CreateTarGz(src_, base_->path() + "/no/such/out.zol").message(),
            "create output file: open " + base_->path() + "/no/such/out.zol: no such file or directory");

  // An absolute link packs, but the extractor refuses it.
  ASSERT_EQ(::symlink("/etc", (src_ + "/abs").c_str()), 0);
  ASSERT_TRUE(CreateTarGz(src_, pkg_).ok());
  const std::string out = base_->path() + "/out";
  ASSERT_EQ(::mkdir(out.c_str(), 0755), 0);
  EXPECT_EQ(ExtractTarGz(pkg_, out).message(), "absolute symlink rejected: abs -> /etc");

  // A socket cannot be recorded.
  const std::string sock_path = src_ + "/sock";
  int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  ASSERT_GE(s, 0);
  struct sockaddr_un addr = {};
  addr.sun_family = AF_UNIX;
  ASSERT_LT(sock_path.size(), sizeof addr.sun_path);
  std::strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(::bind(s, reinterpret_cast<struct sockaddr*>(&addr), sizeof addr), 0);
  ::close(s);
  EXPECT_EQ(CreateTarGz(src_, pkg_).message(), "tar header " + sock_path + ": sockets not supported");
}

TEST_F(CreateTest, TruncatesAnExistingOutputWithMode0644) {
  ::umask(022);
  Put("f", "f");
  Spit(pkg_, std::string(100000, 'z'));
  ASSERT_EQ(::chmod(pkg_.c_str(), 0600), 0);
  ASSERT_TRUE(CreateTarGz(src_, pkg_).ok());
  EXPECT_EQ(InflateOneMember(Slurp(pkg_)).size(), 512u * 4);
  const std::string fresh = base_->path() + "/fresh.zol";
  ASSERT_TRUE(CreateTarGz(src_, fresh).ok());
  struct stat st;
  ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

}  // namespace
}  // namespace pkgfmt
