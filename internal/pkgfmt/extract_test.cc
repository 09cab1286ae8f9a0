#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/gzip_testing.h"
#include "internal/pkgfmt/member_read.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "internal/testing/files.h"
#include "internal/util/beneath.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"
#include "internal/util/tempdir.h"

namespace pkgfmt {
namespace {

using testutil::Slurp;
using testutil::Spit;

// ---- a tiny independent tar builder, so hostile archives can be made ----

struct Member {
  std::string name = {};
  char type = '0';
  std::string content = {};
  std::string linkname = {};
  unsigned mode = 0644;
  int64_t size = -1;  // recorded size; -1 means the content's
  std::vector<std::pair<std::string, std::string>> pax = {};
  bool bad_checksum = false;
};

Member File(std::string name, std::string content, unsigned mode = 0644) {
  return {.name = std::move(name), .content = std::move(content), .mode = mode};
}
Member Dir(std::string name, unsigned mode = 0755) { return {.name = std::move(name), .type = '5', .mode = mode}; }
Member Sym(std::string name, std::string target) {
  return {.name = std::move(name), .type = '2', .linkname = std::move(target), .mode = 0777};
}
Member Hard(std::string name, std::string target) {
  return {.name = std::move(name), .type = '1', .linkname = std::move(target)};
}
Member Typed(std::string name, char type) { return {.name = std::move(name), .type = type}; }

void Octal(char* field, size_t size, int64_t v) {
  std::string s = util::Sprintf("%0*llo", static_cast<int>(size - 1), static_cast<unsigned long long>(v));
  std::memcpy(field, s.data(), size - 1);
}

std::string HeaderBlock(const std::string& name, char type, unsigned mode, int64_t size,
                        const std::string& linkname) {
  char b[512] = {};
  std::memcpy(b, name.data(), std::min<size_t>(name.size(), 100));
  Octal(b + 100, 8, mode);
  Octal(b + 108, 8, 0);
  Octal(b + 116, 8, 0);
  Octal(b + 124, 12, size);
  Octal(b + 136, 12, 1700000000);
  b[156] = type;
  std::memcpy(b + 157, linkname.data(), std::min<size_t>(linkname.size(), 100));
  std::memcpy(b + 257, "ustar\0" "00", 8);
  std::memset(b + 148, ' ', 8);
  unsigned sum = 0;
  for (unsigned char c : b) sum += c;
  std::string ck = util::Sprintf("%06o", sum);
  std::memcpy(b + 148, ck.data(), 6);
  b[154] = '\0';
  return std::string(b, 512);
}

std::string Padded(std::string data) {
  data.resize((data.size() + 511) / 512 * 512, '\0');
  return data;
}

std::string RawTar(const std::vector<Member>& members, bool end_blocks = true) {
  std::string out;
  for (const Member& m : members) {
    if (!m.pax.empty()) {
      std::string recs;
      for (const auto& [k, v] : m.pax) {
        std::string body = " " + k + "=" + v + "\n";
        size_t len = body.size() + 1;
        while (std::to_string(len).size() + body.size() != len) ++len;
        recs += std::to_string(len) + body;
      }
      out += HeaderBlock("PaxHeaders/x", 'x', 0644, static_cast<int64_t>(recs.size()), "");
      out += Padded(recs);
    }
    int64_t size = m.size >= 0 ? m.size : static_cast<int64_t>(m.content.size());
    std::string header = HeaderBlock(m.name, m.type, m.mode, size, m.linkname);
    if (m.bad_checksum) header[150] = header[150] == '7' ? '6' : '7';
    out += header;
    out += Padded(m.content);
  }
  if (end_blocks) out += std::string(1024, '\0');
  return out;
}

std::string Gzip(const std::string& data) { return GzipOneStream(data); }

// Bytes that do not compress, so a cut in the gzip stream lands in them.
std::string Noise(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (char& c : s) {
    x = x * 1103515245 + 12345;
    c = static_cast<char>(x >> 16);
  }
  return s;
}

bool Lexists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (struct dirent* de = ::readdir(d)) names.push_back(de->d_name);
    ::closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string Replace(std::string s, const std::string& from, const std::string& to) {
  for (size_t i = s.find(from); i != std::string::npos; i = s.find(from, i + to.size())) s.replace(i, from.size(), to);
  return s;
}

// base/outer/dest is the destination; base/outer/canary must survive.
class ExtractTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto t = util::TempDir::Make("zol-archive-test-");
    ASSERT_TRUE(t.ok()) << t.error().message();
    base_ = std::make_unique<util::TempDir>(std::move(*t));
    outer_ = base_->path() + "/outer";
    dest_ = outer_ + "/dest";
    ASSERT_EQ(::mkdir(outer_.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(dest_.c_str(), 0755), 0);
    Spit(outer_ + "/canary", "untouched");
    base_listing_ = Listing(base_->path());
    outer_listing_ = Listing(outer_);
  }

  void ResetDest() {
    ASSERT_TRUE(util::RemoveAll(dest_).ok());
    ASSERT_EQ(::mkdir(dest_.c_str(), 0755), 0);
  }
  std::string Package(const std::string& bytes, const std::string& name = "p.zol") {
    std::string path = base_->path() + "/" + name;
    Spit(path, bytes);
    return path;
  }
  util::Error Extract(const std::vector<Member>& members, const ExtractLimits& limits = {}) {
    return ExtractTarGzWithLimits(Package(Gzip(RawTar(members))), dest_, limits);
  }
  void ExpectOutsideUnchanged(const std::string& what) {
    EXPECT_EQ(Slurp(outer_ + "/canary"), "untouched") << what;
    // The package file itself is the only addition in base.
    std::vector<std::string> now = Listing(base_->path());
    now.erase(std::remove(now.begin(), now.end(), "p.zol"), now.end());
    EXPECT_EQ(now, base_listing_) << what;
    EXPECT_EQ(Listing(outer_), outer_listing_) << what;
  }
  std::string D(const std::string& text) { return Replace(text, "{D}", dest_); }

  std::unique_ptr<util::TempDir> base_;
  std::string outer_, dest_;
  std::vector<std::string> base_listing_, outer_listing_;
};

struct HostileCase {
  const char* what;
  std::vector<Member> members;
  const char* message;  // {D} stands for the destination
};

// Packages that must be refused, run under both kinds of path resolution.
class HostileTest : public ExtractTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    util::SetBeneathFallbackForTesting(GetParam());
    ExtractTest::SetUp();
  }
  void TearDown() override { util::SetBeneathFallbackForTesting(false); }
};

TEST_P(HostileTest, RefusedWithTheirMessageAndNothingOutsideChanges) {
  Member huge = File("big", "");
  huge.size = kMaxExtractFileSize + 1;
  Member nul_name = File("innocent", "x");
  nul_name.pax = {{"path", std::string("evil\0/../../canary", 18)}};
  Member nul_target = Sym("l", "inside");
  nul_target.pax = {{"linkpath", std::string("inside\0/../../canary", 20)}};
  Member gnu_nul = Typed("././@LongLink", 'L');
  gnu_nul.content = std::string("evil\0/../canary\0", 17);
  Member fifo = Typed("/tmp/zol-fifo", '6');
  Member damaged_file = File("f", "x");
  damaged_file.bad_checksum = true;
  Member damaged_dir = Dir("d");
  damaged_dir.bad_checksum = true;
  const std::vector<HostileCase> cases = {
      {"dot-dot component", {File("../canary", "pwned")}, "path with .. rejected: ../canary"},
      {"absolute", {File("/etc/x", "pwned")}, "absolute path rejected: /etc/x"},
      {"dot then absolute", {File(".//etc/x", "pwned")}, "absolute path rejected: /etc/x"},
      {"two dots in a name", {File("notes..txt", "x")}, "path with .. rejected: notes..txt"},
      {"absolute symlink", {Sym("l", "/etc/passwd")}, "absolute symlink rejected: l -> /etc/passwd"},
      {"escaping symlink", {Sym("l", "../canary")}, "symlink escape rejected: l -> ../canary (resolves outside package)"},
      {"chain to a directory",
       {Sym("a/l", ".."), Sym("files", "a/l/../.."), File("files/x", "pwned")},
       "symlink escape rejected: files -> a/l/../.. (resolves outside package)"},
      {"chain to signature.json",
       {Sym("a/l", ".."), Sym("signature.json", "a/l/../canary")},
       "symlink escape rejected: signature.json -> a/l/../canary (resolves outside package)"},
      {"link below a link to itself",
       {Sym("l", "."), Sym("l/m", "../canary")},
       "symlink escape rejected: l/m -> ../canary (resolves outside package)"},
      {"chain completed by a later link",
       {Sym("a/m", "l/../.."), Sym("a/l", ".")},
       "symlink escape rejected: a/m -> l/../.. (resolves outside package)"},
      {"file through a completed chain",
       {Sym("a/m", "l/../.."), Sym("a/l", "."), File("a/m/canary", "pwned")},
       "mkdir parent {D}/a/m: mkdir {D}/a/m: invalid cross-device link"},
      {"symlink then file of the same name",
       {File("g", "inside"), Sym("f", "g"), File("f", "pwned")},
       "create file {D}/f: open {D}/f: too many levels of symbolic links"},
      {"directory through a link",
       {Sym("a/m", "l/../.."), Sym("a/l", "."), Dir("a/m/esc")},
       "mkdir {D}/a/m/esc: mkdir {D}/a/m/esc: invalid cross-device link"},
      {"hard link escaping", {Hard("h", "../canary")}, "hard link escape rejected: h -> ../canary"},
      {"hard link through a chain",
       {Sym("a/m", "l/../.."), Sym("a/l", "."), Hard("h", "a/m/canary")},
       "hardlink fallback read {D}/a/m/canary: open {D}/a/m/canary: invalid cross-device link"},
      {"hard link moving a link",
       {File("f", "x"), Sym("sub/l", "../f"), Hard("l2", "sub/l")},
       "hard link escape rejected: l2 -> sub/l"},
      {"fifo with an absolute name", {fifo}, "absolute path rejected: /tmp/zol-fifo"},
      {"member over the size limit", {huge}, "file big exceeds max size limit (512 MB)"},
      {"NUL inside a long name", {nul_name}, "tar next: invalid tar header: path holds a NUL byte"},
      {"NUL inside a long link target", {nul_target}, "tar next: invalid tar header: linkpath holds a NUL byte"},
      {"NUL inside a GNU long name", {gnu_nul, File("evil", "x")}, "tar next: invalid tar header: name holds a NUL byte"},
      {"damaged file header", {File("a", "x"), damaged_file, File("g", "x")}, "tar next: Damaged tar archive"},
      {"damaged directory header", {File("a", "x"), damaged_dir, File("g", "x")}, "tar next: Damaged tar archive"},
  };
  for (const HostileCase& c : cases) {
    ResetDest();
    util::Error e = Extract(c.members);
    EXPECT_EQ(e.message(), D(c.message)) << c.what;
    ExpectOutsideUnchanged(c.what);
  }
  EXPECT_FALSE(Lexists("/tmp/zol-fifo"));
  EXPECT_FALSE(Lexists(dest_ + "/big")) << "refused before anything was written";
}

INSTANTIATE_TEST_SUITE_P(Resolution, HostileTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "walk" : "openat2"; });

TEST_F(ExtractTest, DamagedStreamsAreRefused) {
  std::string tar = RawTar({File("f", Noise(64 * 1024)), File("g", "tail")});
  std::string gz = Gzip(tar);
  struct Case {
    const char* what;
    std::string bytes;
    const char* prefix;
  } cases[] = {
      {"plain tar renamed", tar, "gzip reader: invalid gzip header"},
      {"empty file", "", "gzip reader: "},
      {"cut inside a header", Gzip(tar.substr(0, 300)), "tar next: "},
      {"cut inside content", gz.substr(0, gz.size() / 2), "copy file {D}/f: "},
      {"cut before the trailer", gz.substr(0, gz.size() - 8), "tar next: "},
      {"garbage after the stream", gz + "garbage!", "tar next: gzip: incorrect header check"},
      // The checksum is verified as the last bytes inflate, wherever the
      // tar reader stands then.
      {"flipped checksum", [&] { std::string b = gz; b[b.size() - 6] ^= 0x55; return b; }(), ""},
  };
  for (const Case& c : cases) {
    util::Error e = ExtractTarGz(Package(c.bytes), dest_);
    ASSERT_FALSE(e.ok()) << c.what;
    EXPECT_TRUE(util::HasPrefix(e.message(), D(c.prefix))) << c.what << ": " << e.message();
    if (std::string(c.what) == "flipped checksum") {
      EXPECT_NE(e.message().find("incorrect data check"), std::string::npos) << e.message();
    }
  }
  EXPECT_EQ(ExtractTarGz(base_->path() + "/none.zol", dest_).message(),
            "open source: open " + base_->path() + "/none.zol: no such file or directory");
}

TEST_F(ExtractTest, AllowedMembersExtract) {
  ::umask(022);
  Member legacy_dir = Typed("old/", '\0');
  legacy_dir.mode = 0750;
  Member legacy_file = File("oldfile", "legacy");
  legacy_file.type = '\0';
  Member pax_name = File("x", "unicode");
  pax_name.pax = {{"path", "caf\xc3\xa9/\xe2\x82\xac.txt"}};
  Member global = Typed("pax_global", 'g');
  global.content = "15 comment=hi!\n";
  const std::string gnu_name = std::string(150, 'g') + "/file";
  Member gnu_long = Typed("././@LongLink", 'L');
  gnu_long.content = gnu_name + std::string(1, '\0');
  util::Error e = Extract({
      global,
      gnu_long,
      File(gnu_name.substr(0, 100), "gnu"),
      Dir("./"),
      File("./a", "A"),
      File("f", "F"),
      Sym("sub/l", "../f"),
      Sym("l", "."),
      Typed("fifo", '6'),
      Typed("dev", '3'),
      Typed("contig", '7'),
      Typed("odd", 'Z'),
      File("./files/x", "X"),
      Hard("h", "/files/x"),
      File("suid", "S", 04755),
      Dir("open", 0777),
      File("twice", "first"),
      File("twice", "second"),
      File("exists", "old"),
      Hard("exists", "f"),
      legacy_dir,
      legacy_file,
      pax_name,
  });
  ASSERT_TRUE(e.ok()) << e.message();
  EXPECT_EQ(Slurp(dest_ + "/a"), "A");
  EXPECT_EQ(Slurp(dest_ + "/sub/l"), "F");
  EXPECT_EQ(Slurp(dest_ + "/l/f"), "F");
  for (const char* skipped : {"fifo", "dev", "odd"}) EXPECT_FALSE(Lexists(dest_ + "/" + skipped)) << skipped;
  EXPECT_EQ(Slurp(dest_ + "/contig"), "") << "a contiguous file is a regular one";
  struct stat a, b;
  ASSERT_EQ(::stat((dest_ + "/h").c_str(), &a), 0);
  ASSERT_EQ(::stat((dest_ + "/files/x").c_str(), &b), 0);
  EXPECT_EQ(a.st_ino, b.st_ino) << "an absolute link name is taken below the destination";
  ASSERT_EQ(::stat((dest_ + "/suid").c_str(), &a), 0);
  EXPECT_EQ(a.st_mode & 07777, 0755u) << "setuid never applied";
  ASSERT_EQ(::stat((dest_ + "/open").c_str(), &a), 0);
  EXPECT_EQ(a.st_mode & 07777, 0755u) << "directory modes pass through the umask";
  ASSERT_EQ(::stat((dest_ + "/sub").c_str(), &a), 0);
  EXPECT_EQ(a.st_mode & 07777, 0755u) << "missing parents are 0755";
  EXPECT_EQ(Slurp(dest_ + "/twice"), "second");
  EXPECT_EQ(Slurp(dest_ + "/exists"), "F") << "an existing path is replaced by a copy";
  ASSERT_EQ(::lstat((dest_ + "/old").c_str(), &a), 0);
  EXPECT_TRUE(S_ISDIR(a.st_mode));
  EXPECT_EQ(Slurp(dest_ + "/oldfile"), "legacy");
  EXPECT_EQ(Slurp(dest_ + "/caf\xc3\xa9/\xe2\x82\xac.txt"), "unicode");
  EXPECT_EQ(Slurp(dest_ + "/" + gnu_name), "gnu");
  EXPECT_FALSE(Lexists(dest_ + "/pax_global"));
  ExpectOutsideUnchanged("allowed");
}

TEST_F(ExtractTest, ExactRegularModeIsSetWhateverTheUmask) {
  mode_t old = ::umask(077);
  util::Error e = Extract({File("f", "x", 0755)});
  ::umask(old);
  ASSERT_TRUE(e.ok()) << e.message();
  struct stat st;
  ASSERT_EQ(::stat((dest_ + "/f").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
}

TEST_F(ExtractTest, MemberErrorsNameThePath) {
  struct Case {
    const char* what;
    std::vector<Member> members;
    const char* message;
  } cases[] = {
      {"hard link to nothing", {Hard("h", "missing")},
       "hardlink fallback read {D}/missing: open {D}/missing: no such file or directory"},
      {"symlink over an existing path", {File("l", "x"), Sym("l", "f")},
       "symlink {D}/l: symlink f {D}/l: file exists"},
      {"directory over a file", {File("d", "x"), Dir("d/e")},
       "mkdir {D}/d/e: mkdir {D}/d/e: not a directory"},
      {"hard link to a directory", {Dir("d"), Hard("h", "d")},
       "hardlink fallback read {D}/d: read {D}/d: is a directory"},
      {"data in a member of unknown type", {[] { Member m = Typed("odd", 'Z'); m.content = "data"; return m; }()},
       "member odd of type \"Z\" holds data that cannot be extracted"},
  };
  for (const Case& c : cases) {
    ResetDest();
    EXPECT_EQ(Extract(c.members).message(), D(c.message)) << c.what;
  }
}

// Members GNU tar writes or reads that are no plain regular files: each is
// extracted with the content and size GNU tar gives it, holes kept as holes.
TEST_F(ExtractTest, SparseAndExtensionMembersMatchGnuTar) {
  const std::string work = base_->path() + "/work";
  const std::string tar_dir = base_->path() + "/gnu";
  Member solaris_x = Typed("PaxHeaders/sol", 'X');
  solaris_x.content = "12 path=sol\n";
  // A Solaris ACL: the type (POSIX.1e) and entry count in octal, then the
  // entries as text.
  Member solaris_acl = Typed("acl", 'A');
  solaris_acl.content = std::string("01000003\0user::rw-,group::r--,other::r--\0", 41);
  struct Case {
    const char* what;
    std::string make;               // shell in `work`, writing p.tar.gz
    std::string name;               // the member's extracted name
    std::vector<Member> raw;        // instead of `make`
    bool sparse = false;
    // What GNU tar, which does not know the header, extracts as a file of
    // its own.
    std::string not_a_member = "";
  } cases[] = {
      {"GNU sparse", "truncate -s 1048576 s && printf data | dd of=s bs=1 seek=500000 conv=notrunc 2>/dev/null && "
                     "tar --format=gnu --sparse -czf p.tar.gz s",
       "s", {}, true},
      {"POSIX sparse, all hole", "truncate -s 65536 h && tar --format=posix --sparse -czf p.tar.gz h", "h", {}, true},
      {"POSIX sparse 1.0 with data", "truncate -s 300000 d && printf tail | dd of=d bs=1 seek=299996 conv=notrunc "
                                     "2>/dev/null && tar --format=posix --sparse --sparse-version=1.0 -czf p.tar.gz d",
       "d", {}, true},
      {"Solaris extended header", "", "sol", {solaris_x, File("ignored", "solaris")}},
      {"Solaris ACL header", "", "acl-described", {solaris_acl, File("acl-described", "solaris acl")}, false, "acl"},
  };
  for (const Case& c : cases) {
    ResetDest();
    ASSERT_TRUE(util::RemoveAll(work).ok());
    ASSERT_TRUE(util::RemoveAll(tar_dir).ok());
    ASSERT_EQ(::mkdir(work.c_str(), 0755), 0);
    ASSERT_EQ(::mkdir(tar_dir.c_str(), 0755), 0);
    const std::string pkg = work + "/p.tar.gz";
    if (c.make.empty()) {
      Spit(pkg, Gzip(RawTar(c.raw)));
    } else {
      ASSERT_EQ(std::system(("cd '" + work + "' && " + c.make).c_str()), 0) << c.what;
    }
    ASSERT_EQ(std::system(("tar -xzf '" + pkg + "' -C '" + tar_dir + "'").c_str()), 0) << c.what;
    util::Error e = ExtractTarGz(pkg, dest_);
    ASSERT_TRUE(e.ok()) << c.what << ": " << e.message();
    const std::string got = dest_ + "/" + c.name;
    const std::string want = tar_dir + "/" + c.name;
    ASSERT_TRUE(Lexists(got)) << c.what;
    EXPECT_EQ(Slurp(got), Slurp(want)) << c.what;
    struct stat g, w;
    ASSERT_EQ(::stat(got.c_str(), &g), 0);
    ASSERT_EQ(::stat(want.c_str(), &w), 0);
    EXPECT_EQ(g.st_size, w.st_size) << c.what;
    if (c.sparse) {
      EXPECT_LT(g.st_blocks * 512, g.st_size) << c.what << ": the holes were written";
    }
    if (!c.not_a_member.empty()) {
      ASSERT_TRUE(util::RemoveAll(tar_dir + "/" + c.not_a_member).ok());
    }
    EXPECT_EQ(Listing(dest_), Listing(tar_dir)) << c.what;
  }
}

TEST_F(ExtractTest, SizeLimitsAllowEqualAndCountHardLinkCopies) {
  const ExtractLimits small{10, 25};
  struct Case {
    const char* what;
    std::vector<Member> members;
    const char* message;  // "" for success
  } cases[] = {
      {"exactly the per-file limit", {File("a", std::string(10, 'a'))}, ""},
      {"one over the per-file limit", {File("a", std::string(11, 'a'))}, "file a exceeds max size limit (512 MB)"},
      {"exactly the total", {File("a", std::string(10, 'a')), File("b", std::string(10, 'b')), File("c", "12345")}, ""},
      {"one over the total",
       {File("a", std::string(10, 'a')), File("b", std::string(10, 'b')), File("c", "123456")},
       "total extraction size limit exceeded (4 GB)"},
      {"links and directories count nothing",
       {File("a", std::string(10, 'a')), File("b", std::string(10, 'b')), Dir("d"), Sym("l", "a"), Hard("h", "a"),
        File("c", "12345")},
       ""},
      {"a hard-link copy counts",
       {File("a", std::string(10, 'a')), File("b", std::string(10, 'b')), File("c", "x"), Hard("c", "a")},
       "total extraction size limit exceeded (4 GB)"},
  };
  for (const Case& c : cases) {
    ResetDest();
    util::Error e = Extract(c.members, small);
    EXPECT_EQ(e.message(), std::string(c.message)) << c.what;
  }
}

TEST_F(ExtractTest, ReadLastMemberSeesWhatTheExtractorWouldKeep) {
  Member contiguous = File("manifest.json", "contiguous");
  contiguous.type = '7';
  Member fifo = File("manifest.json", "");
  fifo.type = '6';
  struct Case {
    const char* what;
    std::vector<Member> members;
    std::optional<std::string> want;
    bool fails;
  } cases[] = {
      {"the last of two wins", {File("./manifest.json", "one"), File("manifest.json", "two")}, "two", false},
      {"types the extractor skips are not members", {File("manifest.json", "real"), fifo}, "real", false},
      {"a contiguous file is a regular one", {File("manifest.json", "real"), contiguous}, "contiguous", false},
      {"a name that cleans to it", {File("manifest.json", "one"), File("././manifest.json", "two")}, "two", false},
      {"a hard link of that name is not guessed at", {File("m", "x"), Hard("manifest.json", "m")}, std::nullopt, true},
      {"a directory is not a member", {Dir("manifest.json")}, std::nullopt, false},
      {"absent", {File("other", "x")}, std::nullopt, false},
      {"over the bound", {File("manifest.json", std::string(11, 'm'))}, std::nullopt, true},
  };
  for (const Case& c : cases) {
    auto got = ReadLastMember(Package(Gzip(RawTar(c.members))), "manifest.json", 10);
    ASSERT_EQ(got.ok(), !c.fails) << c.what;
    if (got.ok()) {
      EXPECT_EQ(*got, c.want) << c.what;
    }
  }
  EXPECT_FALSE(ReadLastMember(Package(RawTar({File("manifest.json", "x")})), "manifest.json", 10).ok())
      << "not gzip";
}

TEST_F(ExtractTest, ConcatenatedGzipMembersReadAsOneStream) {
  std::string tar = RawTar({File("a", "A"), File("b", "B")});
  std::string two = Gzip(tar.substr(0, 1024)) + Gzip(tar.substr(1024));
  ASSERT_TRUE(ExtractTarGz(Package(two), dest_).ok());
  EXPECT_EQ(Slurp(dest_ + "/b"), "B");
}

// The digest taken while extracting is the file's, whatever lies after the
// tar's end: zero blocks past what the tar reader looks at, a second gzip
// member, a file larger than one read.
TEST_F(ExtractTest, HashSeesEveryByteOfTheFile) {
  const std::string tar = RawTar({File("a", Noise(300 * 1024)), File("b", "B")});
  const std::string cases[] = {
      Gzip(tar),
      Gzip(tar + std::string(2 << 20, '\0')),
      Gzip(tar.substr(0, 1024)) + Gzip(tar.substr(1024)) + Gzip(std::string(4096, '\0')),
  };
  for (const std::string& bytes : cases) {
    ResetDest();
    auto hash = Sha256::Make();
    ASSERT_TRUE(hash.ok());
    ExtractOptions options;
    options.hash = &*hash;
    ASSERT_TRUE(ExtractTarGz(Package(bytes), dest_, options).ok());
    EXPECT_EQ(hash->HexDigest(), computeBytesChecksum(bytes)) << bytes.size();
    EXPECT_EQ(Slurp(dest_ + "/b"), "B");
  }
}

}  // namespace
}  // namespace pkgfmt
