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
#include "internal/builder/deb_testing.h"
#include "internal/builder/tree_testing.h"
#include "internal/util/beneath.h"
#include "internal/util/files.h"
#include "internal/util/process.h"
#include "internal/util/tempdir.h"

namespace builder {
namespace {

using namespace std::string_literals;

// ---- fixtures -------------------------------------------------------------

using testing::Ar;
using testing::ExtractedListing;
using testing::Gzip;
using testing::Member;
using testing::Slurp;
using testing::Spit;
using testing::Tar;
using testing::TarDir;
using testing::TarFile;
using testing::TarHard;
using testing::TarLink;

// Type, permission bits, and content or link text; names sharing an inode
// are marked as one set.
std::vector<std::string> Listing(const std::string& root) { return testing::Listing(root, {.hard_links = true}); }

class DebReaderTest : public testing::TempDirTest {
 protected:
  DebReaderTest() : TempDirTest("zol-deb-test-") {}
  std::string WriteDeb(const std::string& name, const std::string& bytes) {
    Spit(Path(name), bytes);
    return Path(name);
  }
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
    if (!testing::LimitAddressSpace(256u << 20)) std::_Exit(101);
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
    for (const auto& n : c.names) members.push_back(n.back() == '/' ? TarDir(n) : TarFile(n, "Package: found\n"));
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
  auto got = extractControl(Tar({TarFile("./control", "Package: one\n"), TarFile("control", "Package: two\n")}));
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got->Package, "one");
}

TEST(ExtractControl, HugeControlFileRefusedWithoutReadingIt) {
  // The header claims one byte more than an ar member may hold; no data
  // follows, so reading it would fail differently.
  Member big = TarFile("./control", "");
  big.size = kArMemberLimit + 1;
  std::string tar = Tar({big});
  auto got = extractControl(tar);
  ASSERT_FALSE(got.ok());
  EXPECT_EQ(got.error().message(), "read control: control file exceeds size limit of 104857600 bytes");
}

// ---- the Debian reader ----------------------------------------------------

TEST_F(DebReaderTest, BrokenPackagesFailWithTheirMessage) {
  const std::string control = Gzip(Tar({TarFile("./control", kControl)}));
  const std::string data = Gzip(Tar({TarFile("./usr/bin/hello", "bin")}));
  std::string sums;
  for (int i = 0; sums.size() < 100000; ++i) sums += std::to_string(i * 2654435761u) + "  usr/share/doc/f\n";
  const std::string sums_first = Gzip(Tar({TarFile("./md5sums", sums), TarFile("./control", kControl)}));
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
      {"no control file", Ar({{"control.tar", Tar({TarFile("./md5sums", "")})}, {"data.tar", data}}),
       "extract control: control file not found in control.tar"},
      {"cut inside a member", full.substr(0, full.size() - 10), "parse deb ar: ar entry data.tar.gz exceeds file bounds"},
      {"NUL in Package", Ar({{"control.tar", Tar({TarFile("control", "Package: a\0b\n"s)})}, {"data.tar", data}}),
       "extract control: control field Package holds a NUL byte"},
      {"NUL in Version", Ar({{"control.tar", Tar({TarFile("control", "Package: a\nVersion: 1\0/x\n"s)})}, {"data.tar", data}}),
       "extract control: control field Version holds a NUL byte"},
  };
  for (const auto& c : cases) {
    auto got = ParseDeb(WriteDeb("broken.deb", c.bytes));
    ASSERT_FALSE(got.ok()) << c.name;
    EXPECT_EQ(got.error().message(), c.want) << c.name;
  }
}

TEST_F(DebReaderTest, ReadsMembersByPrefixAndContent) {
  const std::string control = Tar({TarFile("./control", kControl)});
  const std::string data = Gzip(Tar({TarFile("./usr/bin/hello", "bin")}));
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
  Spit(src + "/DEBIAN/control", kControl + "Maintainer: t <t@t>\n");
  ASSERT_TRUE(util::MkdirAll(src + "/usr/bin", 0755).ok());
  ASSERT_TRUE(util::MkdirAll(src + "/usr/share/doc/hello", 0755).ok());
  ASSERT_TRUE(util::MkdirAll(src + "/var/private", 0700).ok());
  Spit(src + "/usr/bin/hello", "#!/bin/sh\necho hello\n");
  chmod((src + "/usr/bin/hello").c_str(), 0755);
  ASSERT_EQ(link((src + "/usr/bin/hello").c_str(), (src + "/usr/bin/hello-again").c_str()), 0);
  ASSERT_EQ(symlink("hello", (src + "/usr/bin/hi").c_str()), 0);
  ASSERT_EQ(symlink("/usr/bin/hello", (src + "/usr/bin/abs").c_str()), 0);
  Spit(src + "/usr/share/doc/hello/empty", "");
  Spit(src + "/var/private/secret", std::string(200000, 's'));
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
  Spit(Path("data.tar"), data_tar);
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
    testing::LayCanary(tmp_->path());
  }
  // The canary and the outside directory are exactly as the test left them,
  // and nothing else is beside the destination.
  void ExpectOutsideUntouched(const std::string& label) {
    testing::ExpectCanaryUntouched(tmp_->path(), label);
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
      {"dot-dot", {TarFile("../x", "x")}, "path traversal detected: ../x"},
      {"dot-dot deeper", {TarFile("./a/../../canary", "x")}, "path traversal detected: ./a/../../canary"},
      {"file through absolute link", {TarLink("l", out), TarFile("l/x", "x")}, "path traversal detected: l/x"},
      {"file through relative chain", {TarLink("a", "."), TarLink("b", "a/.."), TarFile("b/outside/x", "x")},
       "path traversal detected: b/outside/x"},
      {"directory through link", {TarLink("l", out), TarDir("l/sub/")}, "path traversal detected: l/sub/"},
      {"symlink then file", {TarLink("l", canary), TarFile("l", "pwned")}, "path traversal detected: l"},
      {"symlink through link", {TarLink("l", out), TarLink("l/evil", "/etc")}, "path traversal detected: l/evil"},
      {"hard link by dot-dot", {TarHard("h", "../canary")}, "path traversal detected: h"},
      {"hard link through link", {TarLink("l", tmp_->path()), TarHard("h", "l/canary")}, "path traversal detected: h"},
      {"hard link to absolute path",
       {TarHard("h", canary)},
       "link " + Path("dest/h") + ": link " + Path("dest") + canary + " " + Path("dest/h") +
           ": no such file or directory"},
      {"hard link placed through link", {TarFile("f", "x"), TarLink("l", out), TarHard("l/h", "f")},
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
  util::Error e = extractDataTar(Tar({TarLink("a", "."), TarLink("b", "a/.."), TarFile("b/canary", "pwned")}), dest);
  util::SetBeneathFallbackForTesting(false);
  EXPECT_EQ(e.message(), "path traversal detected: b/canary");
  ExpectOutsideUntouched("fallback");
}

TEST_F(DataTreeTest, AcceptedEntriesLandInsideWithTheirModes) {
  const std::string dest = Path("dest");
  ASSERT_TRUE(util::MkdirAll(dest, 0755).ok());
  const std::vector<Member> members = {
      TarDir("."),
      TarDir("./"),
      TarFile("/etc/x", "abs"),
      TarFile("usr/../bin/y", "y", 0700),
      TarFile("./bin/suid", "s", 04755),
      TarDir("./priv", 0700),
      TarDir("./priv", 0755),  // an existing directory keeps its mode
      TarFile("./priv/f", "p", 0640),
      TarLink("./bin/kmod", "/bin/kmod"),
      TarLink("./bin/rel", "y"),
      TarHard("./bin/y2", "./usr/../bin/y"),
      {"./fifo", AE_IFIFO, "", 0644},
      {"./dev", AE_IFCHR, "", 0644},
      TarFile("deep/er/file", "parents made"),
      TarFile("./bin/rel", "through inside link"),
  };
  EXPECT_EQ(ExtractedListing(extractDataTar(Gzip(Tar(members)), dest), dest), (std::vector<std::string>{
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
  const std::string tar = Tar({TarFile("a", std::string(5000, 'a')), TarFile("b", std::string(3000, 'b'))});
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
