#include "internal/builder/zol_archive.h"

#include <dirent.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/pack_tree.h"
#include "internal/pkgfmt/gzip_sink.h"
#include "internal/builder/tree_testing.h"
#include "internal/pkgfmt/tar_writer.h"
#include "internal/testing/files.h"
#include "internal/testing/require.h"
#include "internal/util/files.h"
#include "internal/util/tempdir.h"

namespace builder {
namespace {

using testutil::Slurp;
using testutil::Spit;

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> out;
  DIR* d = opendir(dir.c_str());
  while (struct dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n != "." && n != "..") out.push_back(n);
  }
  closedir(d);
  return out;
}

TEST(CheckMember, ExtractorRules) {
  using pkgfmt::kTypeDir;
  using pkgfmt::kTypeReg;
  using pkgfmt::kTypeSymlink;
  struct Case {
    std::string name;
    char type;
    std::string link;
    std::string want;
  };
  const Case cases[] = {
      {"files/bin/tool", kTypeReg, "", ""},
      {"files/notes..txt", kTypeReg, "", "path with .. rejected: files/notes..txt"},
      {"files/a..b", kTypeDir, "", "path with .. rejected: files/a..b"},
      {"files/lib/libx.so", kTypeSymlink, "libx.so.1", ""},
      {"files/bin/sh", kTypeSymlink, "../lib/busybox", ""},
      {"files/up", kTypeSymlink, "..", ""},
      {"files/dot", kTypeSymlink, ".", ""},
      {"files/abs", kTypeSymlink, "/etc/passwd", "absolute symlink rejected: files/abs -> /etc/passwd"},
      {"files/esc", kTypeSymlink, "../../x",
       "symlink escape rejected: files/esc -> ../../x (resolves outside package)"},
      {"top", kTypeSymlink, "../x", "symlink escape rejected: top -> ../x (resolves outside package)"},
  };
  auto tmp = util::TempDir::Make("zol-member-test-");
  ASSERT_TRUE(tmp.ok());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name + " -> " + c.link);
    EXPECT_EQ(CheckMember(c.name, c.type, c.link).message(), c.want);
    // The extractor that install runs must say the same of the same member.
    std::string pkg = tmp->path() + "/one.zol";
    {
      pkgfmt::MemorySink mem;
      auto gz = pkgfmt::GzipSink::Make(&mem, 1);
      ASSERT_TRUE(gz.ok());
      pkgfmt::TarWriter tw(gz->get());
      pkgfmt::TarHeader dir;
      dir.name = "files";
      dir.type = kTypeDir;
      dir.mode = 0755;
      pkgfmt::TarHeader h;
      h.name = c.name;
      h.type = c.type;
      h.mode = 0644;
      h.linkname = c.link;
      ASSERT_TRUE(tw.WriteHeader(dir).ok());
      ASSERT_TRUE(tw.WriteHeader(h).ok());
      ASSERT_TRUE(tw.Close().ok());
      ASSERT_TRUE((*gz)->Close().ok());
      Spit(pkg, mem.data());
    }
    std::string dest = tmp->path() + "/dest";
    ASSERT_TRUE(util::RemoveAll(dest).ok());
    ASSERT_EQ(mkdir(dest.c_str(), 0755), 0);
    EXPECT_EQ(pkgfmt::ExtractTarGz(pkg, dest).message(), c.want);
  }
}

class ArchiveTest : public testing::TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    src_ = tmp_->path() + "/src";
    out_ = tmp_->path() + "/out";
    ASSERT_EQ(mkdir(src_.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(out_.c_str(), 0755), 0);
    Spit(src_ + "/a", "alpha");
  }
  std::string src_, out_;
};

TEST_F(ArchiveTest, FailedRebuildKeepsThePreviousPackage) {
  std::string pkg = out_ + "/p.zol";
  std::string digest;
  ASSERT_TRUE(createZOLArchive(src_, pkg, &digest).ok());
  std::string first = Slurp(pkg);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(digest.size(), 64u);

  struct Breaker {
    std::string what;
    std::function<void(const std::string&)> make;
    std::string want_prefix;
  };
  const std::vector<Breaker> breakers = {
      {"escaping link", [](const std::string& d) { ASSERT_EQ(symlink("../../etc", (d + "/z").c_str()), 0); },
       "symlink escape rejected: z -> ../../etc"},
      {"link through a link to the top", [](const std::string& d) {
         ASSERT_EQ(symlink(".", (d + "/dot").c_str()), 0);
         ASSERT_EQ(symlink("dot/../x", (d + "/z").c_str()), 0);
       }, "symlink escape rejected: z -> dot/../x (resolves outside package)"},
      {"socket", [](const std::string& d) {
         int s = socket(AF_UNIX, SOCK_STREAM, 0);
         struct sockaddr_un addr = {};
         addr.sun_family = AF_UNIX;
         std::string p = d + "/z";
         ASSERT_LT(p.size(), sizeof addr.sun_path);
         memcpy(addr.sun_path, p.c_str(), p.size() + 1);
         ASSERT_EQ(bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
         close(s);
       }, "tar header " },
  };
  for (const auto& b : breakers) {
    SCOPED_TRACE(b.what);
    ASSERT_TRUE(util::RemoveAll(src_ + "/z").ok());
    ASSERT_TRUE(util::RemoveAll(src_ + "/dot").ok());
    b.make(src_);
    util::Error err = createZOLArchive(src_, pkg, &digest);
    EXPECT_EQ(err.message().rfind(b.want_prefix, 0), 0u) << err.message();
    EXPECT_EQ(Slurp(pkg), first);
    EXPECT_EQ(Names(out_), std::vector<std::string>{"p.zol"});
  }
}

TEST_F(ArchiveTest, OneOrEightThreadsWriteTheSamePackageThatGnuTarExtracts) {
  // Several deflate blocks: a large file of varied content, small files and
  // a link around it.
  ASSERT_TRUE(util::MkdirAll(src_ + "/files/lib/deep", 0755).ok());
  std::string big;
  for (int i = 0; big.size() < (3u << 20); ++i) {
    big += "line " + std::to_string(i * 2654435761u % 100003) + " of the library\n";
    if (i % 97 == 0) big += std::string(1 + i % 500, static_cast<char>(i));
  }
  Spit(src_ + "/files/lib/libbig.so", big);
  for (int i = 0; i < 20; ++i) Spit(src_ + "/files/lib/deep/n" + std::to_string(i), std::string(i * 300, 'x' + i % 3));
  ASSERT_EQ(symlink("libbig.so", (src_ + "/files/lib/libbig.so.1").c_str()), 0);

  std::string d1, d8;
  ASSERT_TRUE(createZOLArchive(src_, out_ + "/one.zol", &d1, 1).ok());
  ASSERT_TRUE(createZOLArchive(src_, out_ + "/eight.zol", &d8, 8).ok());
  const std::string one = Slurp(out_ + "/one.zol");
  EXPECT_TRUE(one == Slurp(out_ + "/eight.zol")) << "the bytes differ";
  EXPECT_EQ(d1, d8);

  for (const char* pkg : {"one", "eight"}) {
    SCOPED_TRACE(pkg);
    const std::string by_tar = tmp_->path() + "/" + pkg + "-tar";
    const std::string ours = tmp_->path() + "/" + pkg + "-ours";
    ASSERT_EQ(mkdir(by_tar.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(ours.c_str(), 0755), 0);
    ASSERT_EQ(std::system(("tar -xzf '" + out_ + "/" + pkg + ".zol' -C '" + by_tar + "'").c_str()), 0);
    ASSERT_TRUE(pkgfmt::ExtractTarGz(out_ + "/" + pkg + ".zol", ours).ok());
    for (const std::string& dest : {by_tar, ours}) {
      EXPECT_EQ(std::system(("diff -r --no-dereference '" + src_ + "' '" + dest + "'").c_str()), 0) << dest;
    }
  }
}

TEST_F(ArchiveTest, EachWriterWordsAFailedContentCopyInItsOwnTerms) {
  ZOL_REQUIRE(::geteuid() == 0, "needs root to mount");
  // Stand-ins no ordinary file gives: a write-only sysfs attribute, which even
  // root cannot open for reading, and process memory, which fails its first
  // read at offset 0.
  const std::string write_only = "/sys/bus/platform/drivers_probe";
  ZOL_REQUIRE(::access(write_only.c_str(), F_OK) == 0, "needs " + write_only);
  const std::string file = src_ + "/z";
  struct Writer {
    std::string name;
    std::function<util::Error(const std::string& out)> write;
    std::string open_error, read_error;
  };
  const std::string open_cause = "open " + file + ": permission denied";
  const std::string read_cause = "read " + file + ": input/output error";
  const Writer writers[] = {
      {"package archive", [&](const std::string& out) { return pkgfmt::CreateTarGz(src_, out); },
       "open " + file + ": " + open_cause, "copy " + file + " to tar: " + read_cause},
      {"application", [&](const std::string& out) { return createZOLArchive(src_, out, nullptr); },
       "open file " + file + ": " + open_cause, "copy file to tar: " + read_cause},
      {"base layer", [&](const std::string& out) { return pkgfmtCreateTarGz(src_, out); }, open_cause, read_cause},
  };
  Spit(file, "");
  std::thread t([&] {
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
    ASSERT_EQ(::mount("", "/", "", MS_REC | MS_PRIVATE, ""), 0);
    for (const auto& [source, want] : {std::pair{write_only, &Writer::open_error},
                                       std::pair{std::string("/proc/self/mem"), &Writer::read_error}}) {
      ASSERT_EQ(::mount(source.c_str(), file.c_str(), "", MS_BIND, ""), 0) << source;
      for (const Writer& w : writers) {
        EXPECT_EQ(w.write(out_ + "/p.zol").message(), w.*want) << w.name << " " << source;
      }
      ASSERT_EQ(::umount2(file.c_str(), MNT_DETACH), 0);
    }
  });
  t.join();
}

TEST_F(ArchiveTest, BasePackagesAreNotHeldToTheMemberRules) {
  // A base package's tree is the builder's own; only application trees come
  // from foreign packages.
  ASSERT_EQ(symlink("/etc", (src_ + "/abs").c_str()), 0);
  EXPECT_TRUE(pkgfmtCreateTarGz(src_, out_ + "/b.zol").ok());
  std::string data = Slurp(out_ + "/b.zol");
  ASSERT_GT(data.size(), 10u);
  EXPECT_EQ(static_cast<unsigned char>(data[8]), 4);  // XFL: fastest level
}

}  // namespace
}  // namespace builder
