#include "internal/builder/deb.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "internal/builder/ar.h"
#include "internal/util/beneath.h"
#include "internal/util/files.h"
#include "internal/util/process.h"
#include "internal/util/tempdir.h"

namespace builder {
namespace {

using namespace std::string_literals;

// ---- fixtures -------------------------------------------------------------

struct Member {
  std::string name;
  mode_t type = AE_IFREG;
  std::string data;  // content, or link target for links
  mode_t perm = 0644;
  bool hardlink = false;
  int64_t size = -1;  // recorded size when it differs from the data
};

Member File(std::string name, std::string data, mode_t perm = 0644) { return {std::move(name), AE_IFREG, std::move(data), perm}; }
Member Dir(std::string name, mode_t perm = 0755) { return {std::move(name), AE_IFDIR, "", perm}; }
Member Link(std::string name, std::string target) { return {std::move(name), AE_IFLNK, std::move(target), 0777}; }
Member Hard(std::string name, std::string target) { return {std::move(name), AE_IFREG, std::move(target), 0644, true}; }

std::string Tar(const std::vector<Member>& members) {
  std::string out;
  struct archive* a = archive_write_new();
  archive_write_set_format_pax_restricted(a);
  archive_write_set_bytes_per_block(a, 0);
  archive_write_open(
      a, &out, nullptr,
      [](struct archive*, void* o, const void* buf, size_t n) -> la_ssize_t {
        static_cast<std::string*>(o)->append(static_cast<const char*>(buf), n);
        return static_cast<la_ssize_t>(n);
      },
      nullptr);
  for (const auto& m : members) {
    struct archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, m.name.c_str());
    archive_entry_set_perm(e, m.perm);
    archive_entry_set_filetype(e, m.type);
    if (m.hardlink) {
      archive_entry_set_hardlink(e, m.data.c_str());
    } else if (m.type == AE_IFLNK) {
      archive_entry_set_symlink(e, m.data.c_str());
    }
    const bool data = m.type == AE_IFREG && !m.hardlink;
    archive_entry_set_size(e, m.size >= 0 ? m.size : data ? static_cast<la_int64_t>(m.data.size()) : 0);
    archive_write_header(a, e);
    if (data) archive_write_data(a, m.data.data(), m.data.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
  return out;
}

std::string Gzip(const std::string& in) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, in.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Ar(const std::vector<std::pair<std::string, std::string>>& members) {
  std::string out = "!<arch>\n";
  for (const auto& [name, data] : members) {
    char header[61];
    snprintf(header, sizeof header, "%-16s%-12s%-6s%-6s%-8s%-10zu`\n", name.c_str(), "0", "0", "0", "100644",
             data.size());
    out.append(header, 60);
    out += data;
    if (data.size() % 2) out += '\n';
  }
  return out;
}

std::string ReadFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

void WriteFile(const std::string& path, const std::string& data) { std::ofstream(path, std::ios::binary) << data; }

// Every entry below `root` (links not followed): type, permission bits, and
// content or link text; names sharing an inode are marked as one set.
std::vector<std::string> Listing(const std::string& root) {
  std::vector<std::string> out;
  std::map<ino_t, std::string> first_name;
  std::function<void(const std::string&)> walk = [&](const std::string& rel) {
    DIR* d = opendir((root + rel).c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d)) {
      if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
      const std::string r = rel + "/" + n;
      struct stat st;
      lstat((root + r).c_str(), &st);
      char mode[8];
      snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
      if (S_ISDIR(st.st_mode)) {
        out.push_back("d " + std::string(mode) + " " + r);
        walk(r);
      } else if (S_ISLNK(st.st_mode)) {
        char buf[4096];
        const ssize_t k = readlink((root + r).c_str(), buf, sizeof buf);
        out.push_back("l " + r + " -> " + std::string(buf, k > 0 ? k : 0));
      } else {
        std::string line = "f " + std::string(mode) + " " + r + " = " + ReadFile(root + r);
        if (st.st_nlink > 1) {
          auto [it, fresh] = first_name.emplace(st.st_ino, r);
          if (!fresh) line += " (same as " + it->second + ")";
        }
        out.push_back(line);
      }
    }
  };
  walk("");
  return out;
}

class DebReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    umask(022);
    auto d = util::TempDir::Make("zol-deb-test-");
    ASSERT_TRUE(d.ok());
    tmp_ = std::make_unique<util::TempDir>(std::move(*d));
  }
  std::string Path(const std::string& rel) const { return tmp_->path() + "/" + rel; }
  std::string WriteDeb(const std::string& name, const std::string& bytes) {
    WriteFile(Path(name), bytes);
    return Path(name);
  }
  std::unique_ptr<util::TempDir> tmp_;
};

const std::string kControl = "Package: hello\nVersion: 2.10-3\nArchitecture: amd64\nDescription: greet\n";

// ---- control file ---------------------------------------------------------

TEST(ControlParser, Quirks) {
  struct Case {
    std::string name;
    std::string text;
    std::map<std::string, std::string> want;
  } cases[] = {
      {"plain fields", "Package: hello\nVersion: 1.0\n", {{"package", "hello"}, {"version", "1.0"}}},
      {"keys lowered, values trimmed", "PACKAGE:\t  hello  \n", {{"package", "hello"}}},
      {"blank before colon kept in key", "Package : hello\n", {{"package ", "hello"}}},
      {"description with continuation",
       "Description: short\n first long line\n .\n second long line\n",
       {{"description", "short\nfirst long line\n.\nsecond long line"}}},
      {"line without colon does not end the field", "Depends: a\ngarbage\n b\n", {{"depends", "a\nb"}}},
      {"continuation without key skipped", " orphan\nPackage: p\n", {{"package", "p"}}},
      {"carriage return stays in line", "Package: p\r\nVersion: 1\r\n", {{"package", "p"}, {"version", "1"}}},
      {"paragraphs merge, later wins", "Package: a\n\nPackage: b\nSection: x\n",
       {{"package", "b"}, {"section", "x"}}},
      {"empty value then continuation", "Description:\n text\n", {{"description", "text"}}},
      {"empty key", ": v\n", {{"", "v"}}},
      {"hash has no meaning", "# c: x\n", {{"# c", "x"}}},
      {"no newline at end", "Priority: optional", {{"priority", "optional"}}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(parseControlContent(c.text).Fields, c.want) << c.name;
  }
}

TEST(ControlParser, NamedFields) {
  const DebControl c = parseControlContent(
      "package: hello\nVersion: 2.10-3\nArchitecture: all\nMaintainer: M <m@x>\nDescription: d\n"
      "Depends: libc6\nPre-Depends: dpkg\nSection: devel\nPriority: optional\nInstalled-Size: 280\n");
  EXPECT_EQ(std::vector<std::string>({c.Package, c.Version, c.Architecture, c.Maintainer, c.Description, c.Depends,
                                      c.PreDepends, c.Section, c.Priority, c.InstalledSize}),
            std::vector<std::string>({"hello", "2.10-3", "all", "M <m@x>", "d", "libc6", "dpkg", "devel",
                                      "optional", "280"}));
  EXPECT_EQ(parseControlContent("Package : x\n").Package, "");
}

// A control file may be as large as an ar member, yet the parser must not
// cost many times its size: 32 MiB of line feeds parse within 256 MiB more
// address space (a string per line would need over a gigabyte).
TEST(ControlParser, ManyLinesParseInBoundedMemory) {
  auto child = [] {
#ifndef __SANITIZE_ADDRESS__
    long vm_kb = 0;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("VmSize:", 0) == 0) vm_kb = std::stol(line.substr(7));
    }
    struct rlimit rl;
    rl.rlim_cur = rl.rlim_max = static_cast<rlim_t>(vm_kb) * 1024 + (256u << 20);
    if (vm_kb == 0 || setrlimit(RLIMIT_AS, &rl) != 0) std::_Exit(101);
#endif
    std::string text = "Package: x\nDescription: d\n";
    text.append(32u << 20, '\n');
    text += " more\n";
    const DebControl c = parseControlContent(text);
    std::_Exit(c.Package == "x" && c.Description == "d\nmore" && c.Fields.size() == 2 ? 0 : 1);
  };
  EXPECT_EXIT(child(), ::testing::ExitedWithCode(0), "");
}

TEST(ControlParser, MultilineRun) {
  const std::vector<std::string> lines = {"Key: v", " a ", "\tb", " ", " c", "Next: x", " d"};
  struct Case {
    int start;
    std::string text;
    int next;
  } cases[] = {
      {1, "a\nb\n\nc", 5}, {3, "c", 5}, {0, "", 0}, {5, "", 5}, {6, "d", 7}, {7, "", 7}, {-1, "", -1},
  };
  for (const auto& c : cases) {
    auto [text, next] = parseMultilineValue(lines, c.start);
    EXPECT_EQ(text, c.text) << c.start;
    EXPECT_EQ(next, c.next) << c.start;
  }
}

TEST(ExtractControl, FindsTheControlEntry) {
  struct Case {
    std::vector<std::string> names;  // the last one holds "Package: found"
    bool found;
  } cases[] = {
      {{"control"}, true},
      {{"./md5sums", "./control"}, true},
      {{"some/dir/control"}, true},
      {{"controls"}, false},
      {{"control/"}, false},
      {{"xcontrol"}, false},
  };
  for (const auto& c : cases) {
    std::vector<Member> members;
    // A name ending in "/" is a directory to tar readers, and a directory
    // carries no data.
    for (const auto& n : c.names) members.push_back(n.back() == '/' ? Dir(n) : File(n, "Package: found\n"));
    auto got = extractControl(Gzip(Tar(members)));
    if (c.found) {
      ASSERT_TRUE(got.ok()) << c.names.back() << ": " << got.error().message();
      EXPECT_EQ(got->Package, "found");
    } else {
      ASSERT_FALSE(got.ok()) << c.names.back();
      EXPECT_EQ(got.error().message(), "control file not found in control.tar");
    }
  }
  // The first match wins, whatever its type.
  auto got = extractControl(Tar({File("./control", "Package: one\n"), File("control", "Package: two\n")}));
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got->Package, "one");
}

TEST(ExtractControl, HugeControlFileRefusedWithoutReadingIt) {
  // The header claims one byte more than an ar member may hold; no data
  // follows, so reading it would fail differently.
  Member big = File("./control", "");
  big.size = kArMemberLimit + 1;
  std::string tar = Tar({big});
  auto got = extractControl(tar);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().message(), "read control: control file exceeds size limit of 104857600 bytes");
}

// ---- the Debian reader ----------------------------------------------------

TEST_F(DebReaderTest, BrokenPackagesFailWithTheirMessage) {
  const std::string control = Gzip(Tar({File("./control", kControl)}));
  const std::string data = Gzip(Tar({File("./usr/bin/hello", "bin")}));
  std::string sums;
  for (int i = 0; sums.size() < 100000; ++i) sums += std::to_string(i * 2654435761u) + "  usr/share/doc/f\n";
  const std::string sums_first = Gzip(Tar({File("./md5sums", sums), File("./control", kControl)}));
  std::string damaged = control;
  damaged[3] = '\xe0';  // reserved gzip flags
  const std::string full = Ar({{"debian-binary", "2.0\n"}, {"control.tar.gz", control}, {"data.tar.gz", data}});
  struct Case {
    std::string name;
    std::string bytes;
    std::string want;
  } cases[] = {
      {"not ar", "hello", "parse deb ar: not an ar archive"},
      {"only magic", "!<arch>\n", "control.tar not found in deb"},
      {"no control", Ar({{"data.tar.xz", data}}), "control.tar not found in deb"},
      {"empty control", Ar({{"control.tar.gz", ""}, {"data.tar.gz", data}}), "control.tar not found in deb"},
      {"no data", Ar({{"control.tar.gz", control}}), "data.tar not found in deb"},
      {"damaged gzip control", Ar({{"control.tar.gz", damaged}, {"data.tar", data}}),
       "extract control: open control tar: gzip reader: gzip: invalid header"},
      {"control stream cut before the control file", Ar({{"control.tar.gz", sums_first.substr(0, sums_first.size() / 2)}, {"data.tar", data}}),
       "extract control: tar reader: unexpected EOF"},
      {"no control file", Ar({{"control.tar", Tar({File("./md5sums", "")})}, {"data.tar", data}}),
       "extract control: control file not found in control.tar"},
      {"cut inside a member", full.substr(0, full.size() - 10), "parse deb ar: ar entry data.tar.gz exceeds file bounds"},
      {"NUL in Package", Ar({{"control.tar", Tar({File("control", "Package: a\0b\n"s)})}, {"data.tar", data}}),
       "extract control: control field Package holds a NUL byte"},
      {"NUL in Version", Ar({{"control.tar", Tar({File("control", "Package: a\nVersion: 1\0/x\n"s)})}, {"data.tar", data}}),
       "extract control: control field Version holds a NUL byte"},
  };
  for (const auto& c : cases) {
    auto got = ParseDeb(WriteDeb("broken.deb", c.bytes));
    ASSERT_FALSE(got.ok()) << c.name;
    EXPECT_EQ(got.error().message(), c.want) << c.name;
  }
}

TEST_F(DebReaderTest, ReadsMembersByPrefixAndContent) {
  const std::string control = Tar({File("./control", kControl)});
  const std::string data = Gzip(Tar({File("./usr/bin/hello", "bin")}));
  // The suffix says xz but the content is plain tar: only the bytes count.
  auto got = ParseDeb(WriteDeb("x.deb", Ar({{"debian-binary", "2.0\n"}, {"control.tar.xz", control},
                                            {"data.tar.bogus", data}})));
  ASSERT_TRUE(got.ok()) << got.error().message();
  EXPECT_EQ(got->Control.Package, "hello");
  EXPECT_EQ(got->Control.Version, "2.10-3");
  EXPECT_EQ(got->Control.Architecture, "amd64");
  EXPECT_EQ(got->ControlData, control);
  EXPECT_EQ(got->DataTar, data);
}

// The same tree packed by dpkg-deb with each compressor, and by hand with
// bzip2, unpacks to the same tree as dpkg-deb's own extraction.
TEST_F(DebReaderTest, EveryCompressionGivesTheSameTree) {
  const std::string src = Path("src");
  ASSERT_TRUE(util::MkdirAll(src + "/DEBIAN", 0755).ok());
  WriteFile(src + "/DEBIAN/control", kControl + "Maintainer: t <t@t>\n");
  ASSERT_TRUE(util::MkdirAll(src + "/usr/bin", 0755).ok());
  ASSERT_TRUE(util::MkdirAll(src + "/usr/share/doc/hello", 0755).ok());
  ASSERT_TRUE(util::MkdirAll(src + "/var/private", 0700).ok());
  WriteFile(src + "/usr/bin/hello", "#!/bin/sh\necho hello\n");
  chmod((src + "/usr/bin/hello").c_str(), 0755);
  ASSERT_EQ(link((src + "/usr/bin/hello").c_str(), (src + "/usr/bin/hello-again").c_str()), 0);
  ASSERT_EQ(symlink("hello", (src + "/usr/bin/hi").c_str()), 0);
  ASSERT_EQ(symlink("/usr/bin/hello", (src + "/usr/bin/abs").c_str()), 0);
  WriteFile(src + "/usr/share/doc/hello/empty", "");
  WriteFile(src + "/var/private/secret", std::string(200000, 's'));
  chmod((src + "/var/private/secret").c_str(), 0600);

  auto dpkg = [&](std::vector<std::string> args) {
    util::Command cmd;
    cmd.path = "dpkg-deb";
    cmd.args = std::move(args);
    cmd.stdout_mode = util::Stdio::kNull;
    return util::RunProcess(cmd);
  };
  auto unpack = [&](const std::string& deb, const std::string& dest) -> util::Error {
    auto pkg = ParseDeb(deb);
    if (!pkg.ok()) return pkg.error();
    EXPECT_EQ(pkg->Control.Package, "hello");
    ZOL_TRY(util::MkdirAll(dest, 0755));
    return extractDataTar(pkg->DataTar, dest);
  };

  ASSERT_TRUE(dpkg({"--root-owner-group", "-Znone", "--build", src, Path("none.deb")}).ok());
  ASSERT_TRUE(dpkg({"-x", Path("none.deb"), Path("reference")}).ok());
  const std::vector<std::string> want = Listing(Path("reference"));
  ASSERT_FALSE(want.empty());

  for (const std::string z : {"gzip", "xz", "zstd", "none"}) {
    const std::string deb = Path(z + ".deb");
    ASSERT_TRUE(dpkg({"--root-owner-group", "-Z" + z, "--build", src, deb}).ok()) << z;
    ASSERT_TRUE(unpack(deb, Path("out-" + z)).ok()) << z;
    EXPECT_EQ(Listing(Path("out-" + z)), want) << z;
  }

  // bzip2 and lzma by hand, from the uncompressed members.
  auto members = ParseAr(Path("none.deb"));
  ASSERT_TRUE(members.ok());
  const std::string data_tar = members->at("data.tar").Data;
  WriteFile(Path("data.tar"), data_tar);
  auto compress = [&](const std::string& prog, std::vector<std::string> args) {
    util::Command cmd;
    cmd.path = prog;
    cmd.args = std::move(args);
    cmd.args.push_back(Path("data.tar"));
    return util::RunProcessOutput(cmd);
  };
  auto bz = compress("bzip2", {"-c"});
  ASSERT_TRUE(bz.ok());
  ASSERT_TRUE(unpack(WriteDeb("bz.deb", Ar({{"debian-binary", "2.0\n"},
                                            {"control.tar", members->at("control.tar").Data},
                                            {"data.tar.bz2", *bz}})),
                     Path("out-bzip2"))
                  .ok());
  EXPECT_EQ(Listing(Path("out-bzip2")), want);

  auto lz = compress("xz", {"--format=lzma", "-c"});
  ASSERT_TRUE(lz.ok());
  util::Error e = unpack(WriteDeb("lz.deb", Ar({{"debian-binary", "2.0\n"},
                                                {"control.tar", members->at("control.tar").Data},
                                                {"data.tar.lzma", *lz}})),
                         Path("out-lzma"));
  EXPECT_EQ(e.message(), "tar next: Unrecognized archive format");
}

// ---- data tree extraction -------------------------------------------------

class DataTreeTest : public DebReaderTest {
 protected:
  void SetUp() override {
    DebReaderTest::SetUp();
    ASSERT_TRUE(util::MkdirAll(Path("outside"), 0755).ok());
    WriteFile(Path("canary"), "canary");
  }
  // The canary and the outside directory are exactly as the test left them.
  void ExpectOutsideUntouched(const std::string& label) {
    struct stat st;
    ASSERT_EQ(lstat(Path("canary").c_str(), &st), 0) << label;
    EXPECT_EQ(st.st_nlink, 1u) << label;
    EXPECT_EQ(ReadFile(Path("canary")), "canary") << label;
    EXPECT_TRUE(Listing(Path("outside")).empty()) << label;
    std::vector<std::string> top = Listing(tmp_->path());
    for (const auto& line : top) {
      const bool known = line.find(" /dest") != std::string::npos || line.find(" /outside") != std::string::npos ||
                         line.find(" /canary") != std::string::npos;
      EXPECT_TRUE(known) << label << ": " << line;
    }
  }
};

TEST_F(DataTreeTest, HostileEntriesAreRefusedAndNothingLeaksOut) {
  const std::string out = Path("outside");
  const std::string canary = Path("canary");
  struct Case {
    std::string name;
    std::vector<Member> members;
    std::string want;
  } cases[] = {
      {"dot-dot", {File("../x", "x")}, "path traversal detected: ../x"},
      {"dot-dot deeper", {File("./a/../../canary", "x")}, "path traversal detected: ./a/../../canary"},
      {"file through absolute link", {Link("l", out), File("l/x", "x")}, "path traversal detected: l/x"},
      {"file through relative chain", {Link("a", "."), Link("b", "a/.."), File("b/outside/x", "x")},
       "path traversal detected: b/outside/x"},
      {"directory through link", {Link("l", out), Dir("l/sub/")}, "path traversal detected: l/sub/"},
      {"symlink then file", {Link("l", canary), File("l", "pwned")}, "path traversal detected: l"},
      {"symlink through link", {Link("l", out), Link("l/evil", "/etc")}, "path traversal detected: l/evil"},
      {"hard link by dot-dot", {Hard("h", "../canary")}, "path traversal detected: h"},
      {"hard link through link", {Link("l", tmp_->path()), Hard("h", "l/canary")}, "path traversal detected: h"},
      {"hard link to absolute path",
       {Hard("h", canary)},
       "link " + Path("dest/h") + ": link " + Path("dest") + canary + " " + Path("dest/h") +
           ": no such file or directory"},
      {"hard link placed through link", {File("f", "x"), Link("l", out), Hard("l/h", "f")},
       "path traversal detected: l/h"},
  };
  for (const auto& c : cases) {
    const std::string dest = Path("dest");
    ASSERT_TRUE(util::RemoveAll(dest).ok());
    ASSERT_TRUE(util::MkdirAll(dest, 0755).ok());
    // Also through the component walk that stands in for openat2 on older
    // kernels.
    for (bool fallback : {false, true}) {
      for (bool compressed : {false, true}) {
        const std::string tar = Tar(c.members);
        util::SetBeneathFallbackForTesting(fallback);
        util::Error e = extractDataTar(compressed ? Gzip(tar) : tar, dest);
        util::SetBeneathFallbackForTesting(false);
        EXPECT_EQ(e.message(), c.want) << c.name << (fallback ? " (fallback)" : "");
        ExpectOutsideUntouched(c.name);
        ASSERT_TRUE(util::RemoveAll(dest).ok());
        ASSERT_TRUE(util::MkdirAll(dest, 0755).ok());
      }
    }
  }
}

TEST_F(DataTreeTest, HostileEntriesWithoutOpenat2) {
  util::SetBeneathFallbackForTesting(true);
  const std::string dest = Path("dest");
  ASSERT_TRUE(util::MkdirAll(dest, 0755).ok());
  util::Error e = extractDataTar(Tar({Link("a", "."), Link("b", "a/.."), File("b/canary", "pwned")}), dest);
  util::SetBeneathFallbackForTesting(false);
  EXPECT_EQ(e.message(), "path traversal detected: b/canary");
  ExpectOutsideUntouched("fallback");
}

TEST_F(DataTreeTest, AcceptedEntriesLandInsideWithTheirModes) {
  const std::string dest = Path("dest");
  ASSERT_TRUE(util::MkdirAll(dest, 0755).ok());
  const std::vector<Member> members = {
      Dir("."),
      Dir("./"),
      File("/etc/x", "abs"),
      File("usr/../bin/y", "y", 0700),
      File("./bin/suid", "s", 04755),
      Dir("./priv", 0700),
      Dir("./priv", 0755),  // an existing directory keeps its mode
      File("./priv/f", "p", 0640),
      Link("./bin/kmod", "/bin/kmod"),
      Link("./bin/rel", "y"),
      Hard("./bin/y2", "./usr/../bin/y"),
      {"./fifo", AE_IFIFO, "", 0644},
      {"./dev", AE_IFCHR, "", 0644},
      File("deep/er/file", "parents made"),
      File("./bin/rel", "through inside link"),
  };
  util::Error e = extractDataTar(Gzip(Tar(members)), dest);
  ASSERT_TRUE(e.ok()) << e.message();
  EXPECT_EQ(Listing(dest), (std::vector<std::string>{
                               "d 0755 /bin",
                               "l /bin/kmod -> /bin/kmod",
                               "l /bin/rel -> y",
                               "f 0755 /bin/suid = s",
                               // Written through the link, with the later entry's mode.
                               "f 0644 /bin/y = through inside link",
                               "f 0644 /bin/y2 = through inside link (same as /bin/y)",
                               "d 0755 /deep",
                               "d 0755 /deep/er",
                               "f 0644 /deep/er/file = parents made",
                               "d 0755 /etc",
                               "f 0644 /etc/x = abs",
                               "d 0700 /priv",
                               "f 0640 /priv/f = p",
                           }));
  ExpectOutsideUntouched("accepted");
}

TEST_F(DataTreeTest, TruncatedArchivesFail) {
  const std::string dest = Path("dest");
  const std::string tar = Tar({File("a", std::string(5000, 'a')), File("b", std::string(3000, 'b'))});
  const std::string gz = Gzip(tar);
  struct Case {
    std::string name;
    std::string data;
    std::string want;
  } cases[] = {
      {"plain cut inside data", tar.substr(0, 512 * 3), "copy file " + dest + "/a: Truncated tar archive"},
      {"plain cut inside header", tar.substr(0, 512 * 11 + 100), "tar next: Truncated tar archive"},
      {"gzip cut", gz.substr(0, gz.size() - 9), "unexpected EOF"},
      {"gzip header damaged", "\x1f\x8b\x08\x04\0\0\0\0\0\x03\xff\xff"s, "open data tar: gzip reader: unexpected EOF"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(util::RemoveAll(dest).ok());
    ASSERT_TRUE(util::MkdirAll(dest, 0755).ok());
    util::Error e = extractDataTar(c.data, dest);
    ASSERT_FALSE(e.ok()) << c.name;
    EXPECT_NE(e.message().find(c.want), std::string::npos) << c.name << ": " << e.message();
  }
}

}  // namespace
}  // namespace builder
