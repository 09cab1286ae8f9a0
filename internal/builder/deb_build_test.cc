#include "internal/builder/deb_build.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <memory>
#include <regex>

#include "internal/builder/deb_testing.h"
#include "internal/builder/recipe.h"
#include "internal/builder/roads.h"
#include "internal/builder/tree_testing.h"
#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/util/tempdir.h"

namespace builder {
namespace {

using ::testing::HasSubstr;
using namespace testing;  // the tree and archive helpers

const std::string kControl = "Package: hello\nVersion: 2.10-3\nArchitecture: amd64\nDescription: greet\n";

std::string Control(const std::string& package, const std::string& version, const std::string& arch) {
  return "Package: " + package + "\nVersion: " + version + "\nArchitecture: " + arch + "\n";
}

// The random part of a build directory's name.
std::string Normalize(const std::string& s) {
  return std::regex_replace(s, std::regex("zol-build-tar-[0-9]+"), "zol-build-tar-N");
}

TEST(MapDebArch, Table) {
  const std::pair<const char*, const char*> cases[] = {
      {"all", "all"},   {"i386", "i686"},   {"amd64", "x86_64"}, {"arm64", "aarch64"},
      {"armhf", "armv7l"}, {"ppc64el", "ppc64el"}, {"", ""},         {"AMD64", "AMD64"},
  };
  for (const auto& [in, want] : cases) EXPECT_EQ(MapDebArch(in), want) << in;
}

class DebBuildTest : public testing::TreeTest {
 protected:
  void SetUp() override {
    TreeTest::SetUp();
    UsePrivateTmpdir();
    testing::MakeTree(tmp_->path(), {"f outside/canary canary"});
  }

  std::string WriteDeb(const std::string& bytes, const std::string& name = "in.deb") {
    Spit(Path(name), bytes);
    return Path(name);
  }
  BuildOptions Opts(const std::string& deb) const {
    BuildOptions o;
    o.FromDeb = deb;
    o.Output = Path("out");
    o.Base = "testbase";
    return o;
  }
  // Unpacks the one package in out/ and returns its manifest.
  pkgfmt::Manifest Unpack(const std::string& pkg) {
    EXPECT_TRUE(util::RemoveAll(Path("unpacked")).ok());
    EXPECT_TRUE(util::MkdirAll(Path("unpacked"), 0755).ok());
    util::Error e = pkgfmt::ExtractTarGz(pkg, Path("unpacked"));
    EXPECT_TRUE(e.ok()) << e.message();
    auto m = pkgfmt::ParseManifest(Slurp(Path("unpacked/manifest.json")));
    EXPECT_TRUE(m.ok());
    return m.ok() ? *m : pkgfmt::Manifest{};
  }
  void ExpectNoLeftovers(const std::string& label) {
    EXPECT_TRUE(Listing(Path("tmp")).empty()) << label;
  }
  void ExpectOutsideUntouched(const std::string& label) {
    EXPECT_EQ(Listing(Path("outside")), (std::vector<std::string>{"f 0644 /canary = canary"})) << label;
    struct stat st;
    ASSERT_EQ(::stat(Path("outside/canary").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 1u) << label;
  }

};

TEST_F(DebBuildTest, NamesVersionsAndArchitectures) {
  const std::string host = HostArch();
  struct Case {
    std::string control;
    std::string name, version, id, command;  // options
    std::string file;                        // package file name
    std::string want_name, want_version, want_id, want_command, want_arch;
    std::string arch = "";  // the option
  } cases[] = {
      {Control("hello", "2.10-3", "amd64"), "", "", "", "", "com.calderim.hello_2.10-3_x86_64.zol", "hello",
       "2.10-3", "com.calderim.hello", "/app/bin/hello", "x86_64"},
      // "all" takes --arch, else the host's; a package that names its own
      // keeps it whatever --arch says.
      {Control("tool", "1:2.0-3", "all"), "", "", "", "", "com.calderim.tool_1:2.0-3_" + host + ".zol", "tool",
       "1:2.0-3", "com.calderim.tool", "/app/bin/tool", host},
      {Control("tool", "1", "all"), "", "", "", "", "com.calderim.tool_1_aarch64.zol", "tool", "1",
       "com.calderim.tool", "/app/bin/tool", "aarch64", "aarch64"},
      {Control("tool", "1", "all"), "", "", "", "", "com.calderim.tool_1_x86_64.zol", "tool", "1",
       "com.calderim.tool", "/app/bin/tool", "x86_64", "x86_64"},
      {Control("tool", "1", "amd64"), "", "", "", "", "com.calderim.tool_1_x86_64.zol", "tool", "1",
       "com.calderim.tool", "/app/bin/tool", "x86_64", "aarch64"},
      {Control("tool", "1.0", "amd64"), "given", "9", "", "", "com.calderim.given_9_x86_64.zol", "given", "9",
       "com.calderim.given", "/app/bin/given", "x86_64"},
      {Control("tool", "1.0", "arm64"), "", "", "org.example.t", "/app/bin/run", "org.example.t_1.0_aarch64.zol",
       "tool", "1.0", "org.example.t", "/app/bin/run", "aarch64"},
      {"PACKAGE: caps\nVersion: 3\nArchitecture: i386\n", "", "", "", "", "com.calderim.caps_3_i686.zol", "caps",
       "3", "com.calderim.caps", "/app/bin/caps", "i686"},
      {Control("tool", "1.0", "ppc64el"), "", "", "", "", "", "", "", "", "", "ppc64el"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(util::RemoveAll(Path("out")).ok());
    BuildOptions o = Opts(WriteDeb(Deb(c.control, Gzip(Tar({TarFile("usr/bin/x", "x", 0755)})))));
    o.Name = c.name;
    o.Version = c.version;
    o.ID = c.id;
    o.Command = c.command;
    o.Arch = c.arch;
    util::Error e = buildFromDeb(o);
    if (c.want_arch != "x86_64" && c.want_arch != "aarch64") {
      // The mapped name reaches the manifest, which install would refuse.
      EXPECT_EQ(e.message(), "manifest error: arch: invalid architecture: " + c.want_arch);
      continue;
    }
    ASSERT_TRUE(e.ok()) << c.file << ": " << e.message();
    EXPECT_EQ(FileListing(Path("out")).size(), 2u) << c.file;
    pkgfmt::Manifest m = Unpack(Path("out/" + c.file));
    EXPECT_EQ(m.Name, c.want_name);
    EXPECT_EQ(m.Version, c.want_version);
    EXPECT_EQ(m.ID, c.want_id);
    EXPECT_EQ(m.Entry.Command, c.want_command);
    EXPECT_EQ(m.Arch, c.want_arch);
    EXPECT_EQ(m.Build.SourceType, "deb");
    EXPECT_EQ(m.Build.OriginalPackage, o.FromDeb);
    ExpectNoLeftovers(c.file);
  }
  // A bad --arch stops an "all" package before anything is written.
  ASSERT_TRUE(util::RemoveAll(Path("out")).ok());
  BuildOptions o = Opts(WriteDeb(Deb(Control("tool", "1", "all"), Gzip(Tar({TarFile("usr/bin/x", "x", 0755)})))));
  o.Arch = "amd64";
  EXPECT_EQ(buildFromDeb(o).message(), "invalid architecture: amd64 (must be x86_64 or aarch64)");
  EXPECT_FALSE(util::Exists(Path("out")));
}

// A default entry command the package lacks is named at build time with the
// executables it has; the Debian module directory joins PYTHONPATH.
TEST_F(DebBuildTest, MissingDefaultCommandIsNamedAndDistPackagesAreOnThePath) {
  struct Case {
    std::vector<std::string> members;
    std::string command;  // the option
    std::string warning;  // "" = none
  } cases[] = {
      {{"usr/bin/fdfind", "usr/bin/aaa"}, "",
       "  [warn] entry command /app/bin/fd-find is not in the package; executables in /app/bin: /app/bin/aaa, "
       "/app/bin/fdfind\n  [warn] give the entry command with --command\n"},
      {{"usr/share/doc/x"}, "",
       "  [warn] entry command /app/bin/fd-find is not in the package; it has no executables in /app/bin\n"
       "  [warn] give the entry command with --command\n"},
      {{"usr/bin/fd-find"}, "", ""},
      {{"usr/bin/fdfind"}, "/app/bin/fdfind", ""},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(util::RemoveAll(Path("out")).ok());
    std::vector<pkgfmt::testing::Member> tar;
    for (const std::string& m : c.members) tar.push_back(TarFile(m, "x", 0755));
    BuildOptions o = Opts(WriteDeb(Deb(Control("fd-find", "8", "amd64"), Gzip(Tar(tar)))));
    o.Command = c.command;
    ::testing::internal::CaptureStdout();
    util::Error e = buildFromDeb(o);
    const std::string out = ::testing::internal::GetCapturedStdout();
    ASSERT_TRUE(e.ok()) << e.message();
    EXPECT_EQ(out, c.warning) << c.members[0];
    pkgfmt::Manifest m = Unpack(Path("out/com.calderim.fd-find_8_x86_64.zol"));
    EXPECT_EQ(m.Runtime.Env["PYTHONPATH"], "/app/lib/python3/site-packages:/app/lib/python3/dist-packages");
  }
}

TEST_F(DebBuildTest, DataTreeBecomesTheApplicationTree) {
  const std::string data = Tar({
      TarDir("./"),
      TarFile("/etc/x", "abs"),
      TarFile("usr/../bin/y", "dotdot"),
      TarFile("./usr/bin/suid", "s", 04755),
      TarFile("./usr/bin/perl", "interp", 0755),
      TarHard("./usr/bin/perl5.36.0", "./usr/bin/perl"),
      TarFile("README", "dropped"),
      TarDir("./var/lib/private", 0700),
  });
  ASSERT_TRUE(buildFromDeb(Opts(WriteDeb(Deb(kControl, Gzip(data))))).ok());
  Unpack(Path("out/com.calderim.hello_2.10-3_x86_64.zol"));
  EXPECT_EQ(Listing(Path("unpacked/files")), (std::vector<std::string>{
                                                 "d 0755 /bin",
                                                 "f 0755 /bin/perl = interp",
                                                 "f 0755 /bin/perl5.36.0 = interp",
                                                 "f 0755 /bin/suid = s",
                                                 "f 0644 /bin/y = dotdot",
                                                 "d 0755 /etc",
                                                 "f 0644 /etc/x = abs",
                                                 "d 0755 /rootfs-overlay",
                                                 "d 0700 /rootfs-overlay/var",
                                                 "d 0700 /rootfs-overlay/var/lib",
                                                 "d 0700 /rootfs-overlay/var/lib/private",
                                             }));
  ExpectNoLeftovers("success");
}

TEST_F(DebBuildTest, OnlyTopLevelFilesStillGiveAPackage) {
  ASSERT_TRUE(buildFromDeb(Opts(WriteDeb(Deb(kControl, Tar({TarFile("README", "r"), TarLink("l", "README")}))))).ok());
  Unpack(Path("out/com.calderim.hello_2.10-3_x86_64.zol"));
  EXPECT_TRUE(Listing(Path("unpacked/files")).empty());
}

TEST_F(DebBuildTest, HostileAndBrokenPackagesFailAndNothingLeaks) {
  const std::string out = Path("outside");
  const std::string canary = Path("outside/canary");
  const std::string build = Path("tmp/zol-build-tar-N");
  const std::string good = Tar({TarFile("usr/bin/a", std::string(3000, 'a')), TarFile("usr/bin/b", "b")});
  struct Case {
    std::string name;
    std::string deb;
    std::string want;
  } cases[] = {
      {"dot-dot", Deb(kControl, Tar({TarFile("../x", "x")})), "extract data: path traversal detected: ../x"},
      {"file through absolute link", Deb(kControl, Tar({TarLink("l", out), TarFile("l/x", "x")})),
       "extract data: path traversal detected: l/x"},
      {"file through relative chain",
       Deb(kControl, Tar({TarLink("up", ".."), TarLink("b", "up/../../../outside"), TarFile("b/x", "x")})),
       "extract data: path traversal detected: b/x"},
      {"directory through link", Deb(kControl, Tar({TarLink("l", out), TarDir("l/sub/")})),
       "extract data: path traversal detected: l/sub/"},
      {"symlink then file", Deb(kControl, Tar({TarLink("l", canary), TarFile("l", "pwned")})),
       "extract data: path traversal detected: l"},
      {"symlinked usr", Deb(kControl, Tar({TarLink("usr", out), TarFile("usr/bin/tool", "t")})),
       "extract data: path traversal detected: usr/bin/tool"},
      {"hard link by dot-dot", Deb(kControl, Tar({TarHard("h", "../../../outside/canary")})),
       "extract data: path traversal detected: h"},
      {"hard link to /etc/shadow", Deb(kControl, Tar({TarHard("h", "/etc/shadow")})),
       "extract data: link " + build + "/files/h: link " + build + "/files/etc/shadow " + build +
           "/files/h: no such file or directory"},
      {"relocation merge through planted link",
       Deb(kControl, Tar({TarLink("bin/x", out), TarFile("sbin/x/evil", "e")})),
       "relocate files: move " + build + "/files/sbin -> " + build + "/relocated/bin: " + build +
           "/relocated/bin/x: a symbolic link on the way leads out of the tree"},
      {"absolute link kept", Deb(kControl, Tar({TarLink("usr/bin/l", "/etc/passwd")})),
       "absolute symlink rejected: files/bin/l -> /etc/passwd"},
      {"cut inside data", Deb(kControl, good.substr(0, 1024)),
       "extract data: copy file " + build + "/files/usr/bin/a: Truncated tar archive"},
      {"cut inside a header", Deb(kControl, good.substr(0, 512 * 7 + 100)), "extract data: tar next: Truncated tar archive"},
      {"damaged member header", Deb(kControl, std::string(good).replace(512 * 7 + 9, 1, "#")),
       "extract data: tar next: Damaged tar archive"},
      {"size with leading blank", testing::Ar({{"debian-binary", "2.0\n", " 12"}}),
       "parse deb: parse deb ar: invalid size in ar header:  12"},
      {"empty size", testing::Ar({{"debian-binary", "2.0\n", ""}}),
       "parse deb: parse deb ar: invalid size in ar header: "},
      {"negative size", testing::Ar({{"debian-binary", "2.0\n", "-1"}}),
       "parse deb: parse deb ar: ar entry debian-binary exceeds size limit"},
      {"size above the limit", testing::Ar({{"debian-binary", "2.0\n", "104857601"}}),
       "parse deb: parse deb ar: ar entry debian-binary exceeds size limit"},
      {"damaged gzip control member",
       testing::Ar({{"debian-binary", "2.0\n"}, {"control.tar.gz", "\x1f\x8bnot gzip at all"}, {"data.tar", good}}),
       "parse deb: extract control: open control tar: gzip reader: "},
      {"slash in version", Deb(Control("hello", "1/../../x", "amd64"), good), "PACKAGE-PATH"},
      // Refused before the data, whose traversal would fail otherwise.
      {"version install refuses", Deb(Control("hello", ".", "amd64"), Tar({TarFile("../x", "x")})),
       "package version \".\" is not usable as a directory name"},
      // A continued field keeps its line feed: it would reach the package
      // name, the install directory and the log.
      {"version on two lines",
       Deb("Package: hello\nVersion: 1.0\n [WARN] 2026-01-01T00:00:00Z forged line: x\nArchitecture: amd64\n", good),
       "package version \"1.0\\n[WARN] 2026-01-01T00:00:00Z forged line: x\" is not usable as a directory name"},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(util::RemoveAll(Path("out")).ok());
    struct stat shadow_before, shadow_after;
    const bool have_shadow = ::stat("/etc/shadow", &shadow_before) == 0;
    util::Error e = buildFromDeb(Opts(WriteDeb(c.deb)));
    const std::string got = Normalize(e.message());
    if (c.want == "PACKAGE-PATH") {
      EXPECT_THAT(got, HasSubstr("1/../../x")) << c.name;
    } else if (c.name == "damaged gzip control member") {
      EXPECT_THAT(got, ::testing::StartsWith(c.want)) << c.name;
      EXPECT_GT(got.size(), c.want.size()) << c.name << ": the decoder's message follows";
    } else {
      EXPECT_EQ(got, c.want) << c.name;
    }
    EXPECT_FALSE(e.ok()) << c.name;
    ExpectOutsideUntouched(c.name);
    ExpectNoLeftovers(c.name);
    EXPECT_TRUE(FileListing(Path("out")).empty()) << c.name;
    if (have_shadow) {
      ASSERT_EQ(::stat("/etc/shadow", &shadow_after), 0);
      EXPECT_EQ(shadow_after.st_nlink, shadow_before.st_nlink) << c.name;
    }
  }
}

// Sparse members come out at their full size with their holes kept: a
// small .deb whose data holds a 10 GiB hole writes no 10 GiB anywhere, and an
// all-hole file is no empty one.
TEST_F(DebBuildTest, SparseDataMembersKeepTheirSizeAndTheirHoles) {
  const std::string work = Path("sparse");
  ASSERT_EQ(std::system(("mkdir -p '" + work + "/usr/bin' && cd '" + work +
                         "' && truncate -s 65536 usr/bin/hole && truncate -s 10G usr/bin/huge && "
                         "tar --format=posix --sparse -czf small.tar.gz usr/bin/hole && "
                         "tar --format=gnu --sparse -czf huge.tar.gz usr/bin/huge").c_str()),
            0);
  BuildOptions o = Opts(WriteDeb(Deb(kControl, Slurp(work + "/small.tar.gz")), "small.deb"));
  util::Error e = buildFromDeb(o);
  ASSERT_TRUE(e.ok()) << e.message();
  Unpack(Path("out/com.calderim.hello_2.10-3_x86_64.zol"));
  struct stat st;
  ASSERT_EQ(::stat(Path("unpacked/files/bin/hole").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 65536);
  EXPECT_EQ(Slurp(Path("unpacked/files/bin/hole")), std::string(65536, '\0'));
  ExpectNoLeftovers("all hole");

  // Too large for a package, but refused without 10 GiB written first.
  ASSERT_TRUE(util::RemoveAll(Path("out")).ok());
  e = buildFromDeb(Opts(WriteDeb(Deb(kControl, Slurp(work + "/huge.tar.gz")), "huge.deb")));
  EXPECT_FALSE(e.ok());
  EXPECT_THAT(e.message(), HasSubstr("exceeds max size limit (512 MB)"));
  ExpectNoLeftovers("huge");
}

TEST_F(DebBuildTest, RecipeArgumentsAndOverlayFiles) {
  const std::string deb =
      WriteDeb(Deb(kControl, Tar({TarFile("usr/bin/hello", "h", 0755), TarLink("opt/out", Path("outside")),
                                  TarLink("opt/in", "sub"), TarDir("opt/sub")})));
  Spit(Path("recipe.json"), R"({"entry_args": ["--greeting", "hi there"], "Unknown": 1,
    "overlay_files": {"etc/motd": "welcome\n", "/abs/file": "abs", "a/../b": "b", "opt/in/f": "via inside link",
                      "": "x", ".": "x", "../escape": "x", "a/../../escape": "x",
                      "opt/out/canary": "pwned", "opt/out/new/f": "pwned"}})");
  BuildOptions o = Opts(deb);
  o.Recipe = Path("recipe.json");
  ::testing::internal::CaptureStdout();
  util::Error e = buildFromDeb(o);
  std::fflush(stdout);
  const std::string printed = Normalize(::testing::internal::GetCapturedStdout());
  // The packer refuses the planted link in the end; what matters here is
  // that no overlay write went through it.
  EXPECT_EQ(e.message(), "absolute symlink rejected: files/rootfs-overlay/opt/out -> " + Path("outside"));
  const std::string ov = Path("tmp/zol-build-tar-N/files/rootfs-overlay");
  auto refused = [&](const std::string& key, const std::string& shown) {
    return "  [recipe] warn: could not write overlay " + key + ": " + ov + shown + ": path leads outside rootfs-overlay";
  };
  const std::vector<std::string> want = {
      refused("", ""),
      refused(".", "/."),
      refused("../escape", "/../escape"),
      "  [recipe] overlay: /abs/file",
      refused("a/../../escape", "/a/../../escape"),
      "  [recipe] overlay: a/../b",
      "  [recipe] overlay: etc/motd",
      "  [recipe] overlay: opt/in/f",
      refused("opt/out/canary", "/opt/out/canary"),
      refused("opt/out/new/f", "/opt/out/new/f"),
  };
  std::vector<std::string> lines;
  for (size_t at = 0, nl; (nl = printed.find('\n', at)) != std::string::npos; at = nl + 1) {
    lines.push_back(printed.substr(at, nl - at));
  }
  EXPECT_EQ(lines, want);
  ExpectOutsideUntouched("overlay");
}

TEST_F(DebBuildTest, RecipeGivesEntryArgumentsAndOverlayInThePackage) {
  const std::string deb = WriteDeb(Deb(kControl, Tar({TarFile("usr/bin/hello", "h", 0755)})));
  Spit(Path("recipe.json"), R"({"entry_args": ["--greeting", "hi there"], "overlay_files": {"etc/motd": "welcome\n"}})");
  BuildOptions o = Opts(deb);
  o.Recipe = Path("recipe.json");
  ASSERT_TRUE(buildFromDeb(o).ok());
  pkgfmt::Manifest m = Unpack(Path("out/com.calderim.hello_2.10-3_x86_64.zol"));
  EXPECT_EQ(std::vector<std::string>(m.Entry.Args.begin(), m.Entry.Args.end()),
            (std::vector<std::string>{"--greeting", "hi there"}));
  EXPECT_EQ(Listing(Path("unpacked/files/rootfs-overlay")),
            (std::vector<std::string>{"d 0755 /etc", "f 0644 /etc/motd = welcome\n"}));
}

TEST_F(DebBuildTest, RecipeFailuresStopTheBuild) {
  const std::string deb = WriteDeb(Deb(kControl, Tar({TarFile("usr/bin/hello", "h", 0755)})));
  Spit(Path("bad-type.json"), R"({"entry_args": "--x"})");
  Spit(Path("bad-syntax.json"), R"({"entry_args": [)");
  Spit(Path("empty.json"), "{}");
  struct Case {
    std::string recipe;
    std::string want;  // prefix of the message; "" for success
  } cases[] = {
      {Path("missing.json"), "load recipe: read recipe " + Path("missing.json") + ": open " + Path("missing.json") +
                                 ": no such file or directory"},
      {Path("bad-type.json"), "load recipe: parse recipe " + Path("bad-type.json") + ": json: cannot unmarshal string"},
      {Path("bad-syntax.json"), "load recipe: parse recipe " + Path("bad-syntax.json") + ": "},
      {Path("empty.json"), ""},
      {"", ""},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(util::RemoveAll(Path("out")).ok());
    BuildOptions o = Opts(deb);
    o.Recipe = c.recipe;
    util::Error e = buildFromDeb(o);
    if (c.want.empty()) {
      EXPECT_TRUE(e.ok()) << c.recipe << ": " << e.message();
      pkgfmt::Manifest m = Unpack(Path("out/com.calderim.hello_2.10-3_x86_64.zol"));
      EXPECT_TRUE(m.Entry.Args.empty());
    } else {
      EXPECT_THAT(e.message(), ::testing::StartsWith(c.want)) << c.recipe;
      EXPECT_TRUE(FileListing(Path("out")).empty());
    }
    ExpectNoLeftovers(c.recipe);
  }
}

}  // namespace
}  // namespace builder
