// Builds from RPM files made here with rpmbuild, and from a yum/dnf
// repository: the real dnf against a local file:// repository, and stub
// downloaders for the other branches.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "internal/pkgfmt/manifest.h"
#include "tests/fixtures.h"
#include "tests/harness.h"
#include "internal/testing/require.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

std::string HostArch() { return ShOut("uname -m | tr -d '\\n'"); }

// Names directly in `dir` that begin with one of the build's own prefixes.
std::vector<std::string> Leftovers(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (struct dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n.rfind("zol-build-", 0) == 0 || n.rfind("zol-yum-", 0) == 0) out.push_back(n);
    }
    ::closedir(d);
  }
  return out;
}

struct RpmFields {
  std::string name = "zolhello";
  std::string version = "2.3";
  std::string release = "1.el9";
  std::string build_arch;  // empty: the host's
  std::string payload = "w9.gzdio";
  // The payload: an ELF program, a script, a library with its development
  // link, a hard-link pair, an empty file and an empty directory.
  std::string install =
      "mkdir -p %{buildroot}/usr/bin %{buildroot}/usr/lib %{buildroot}/etc %{buildroot}/var/lib/zolhello\n"
      "cp %{probe} %{buildroot}/usr/bin/probe\n"
      "chmod 0755 %{buildroot}/usr/bin/probe\n"
      "printf '#!/bin/sh\\necho hello\\n' > %{buildroot}/usr/bin/hello\n"
      "chmod 0750 %{buildroot}/usr/bin/hello\n"
      "ln %{buildroot}/usr/bin/hello %{buildroot}/usr/bin/hello2\n"
      "printf 'library bytes' > %{buildroot}/usr/lib/libhello.so.1\n"
      "ln -s libhello.so.1 %{buildroot}/usr/lib/libhello.so\n"
      ": > %{buildroot}/etc/zolhello.conf\n";
  std::string files =
      "/usr/bin/probe\n/usr/bin/hello\n/usr/bin/hello2\n/usr/lib/libhello.so.1\n/usr/lib/libhello.so\n"
      "%config /etc/zolhello.conf\n%dir /var/lib/zolhello\n";
};

// Builds the package with rpmbuild in `dir` and returns its path.
std::string RpmBuild(const std::string& dir, const RpmFields& s) {
  std::string spec = "Name: " + s.name + "\nVersion: " + s.version + "\nRelease: " + s.release +
                     "\nSummary: test\nLicense: MIT\n" + (s.build_arch.empty() ? "" : "BuildArch: " + s.build_arch + "\n") +
                     "%description\ntest\n%install\n" + s.install + "%files\n" + s.files;
  Spit(dir + "/pkg.spec", spec);
  RunResult r = Sh("set -e; cd '" + dir + "'; rpmbuild -bb --quiet --define \"_topdir $PWD/top\" --define \"_tmppath $PWD\" "
                   "--define '_binary_payload " + s.payload + "' --define '__os_install_post %{nil}' "
                   "--define 'debug_package %{nil}' --define 'probe " ZOL_PROBE "' pkg.spec >/dev/null; "
                   "find \"$PWD/top/RPMS\" -name '*.rpm' | head -n 1 | tr -d '\\n'");
  EXPECT_EQ(r.status, 0) << r.err;
  return r.out;
}

// Every entry below `dir` but directory modes, which the build sets to 0755:
// kind, mode, path, link text or size and content digest.
std::string TreeListing(const std::string& dir) {
  return ShOut("cd '" + dir + "' && find . -mindepth 1 \\( -type d -printf 'd %p\\n' \\) -o "
               "\\( -type l -printf 'l %p -> %l\\n' \\) -o \\( -type f -printf 'f %m %p ' -exec md5sum {} \\; \\) | "
               "sort");
}

pkgfmt::Manifest ManifestOf(const std::string& pkg) {
  std::string json = ShOut("tar -xzOf '" + pkg + "' manifest.json");
  auto m = pkgfmt::ParseManifest(json);
  EXPECT_TRUE(m.ok()) << m.error().message();
  return m.ok() ? *m : pkgfmt::Manifest{};
}

class RpmBuildTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ZOL_REQUIRE_TOOL("rpmbuild");
    ZOL_REQUIRE_TOOL("createrepo_c");
    arch_ = HostArch();
    ShOut("mkdir -p '" + sb_.Path("rpm") + "' '" + sb_.Path("bin") + "' '" + sb_.Path("empty") + "'");
  }

  RunResult Build(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra = {}) {
    std::vector<std::string> a = {"build"};
    a.insert(a.end(), args.begin(), args.end());
    return sb_.Zol(a, extra);
  }

  // A program on a search path of its own that logs its arguments, one per
  // line, to bin/NAME.argv and then runs `body`.
  std::string Stub(const std::string& name, const std::string& body) {
    std::string path = sb_.Path("bin/" + name);
    Spit(path,
              "#!/bin/sh\nPATH=/usr/bin:/bin\nprintf '%s\\n' \"$@\" > '" + path + ".argv'\n" + body + "\n", 0755);
    return path;
  }

  Sandbox sb_;
  std::string arch_;
};

// The whole road: an RPM built here, converted, installed over a base layer
// made from busybox, and run in the sandbox.
TEST_F(RpmBuildTest, ConvertedApplicationInstallsAndRuns) {
  ZOL_REQUIRE(!(arch_ != "x86_64" && arch_ != "aarch64"), std::string("host architecture ") + arch_);
  const std::string rpm = RpmBuild(sb_.Path("rpm"), RpmFields{});
  RunResult r = Build({"--from-rpm", rpm, "--command", "/app/usr/bin/probe", "--base", "rpmbase", "--output",
                       sb_.Path("dist")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Build completed successfully.\n");  // the road itself prints nothing
  EXPECT_EQ(Leftovers(sb_.tmp), std::vector<std::string>{});

  // Name, version, release and architecture as rpm itself reads them.
  std::vector<std::string> q;
  for (const char* tag : {"NAME", "VERSION", "RELEASE", "ARCH"}) {
    q.push_back(ShOut("rpm -qp --qf '%{" + std::string(tag) + "}' '" + rpm + "' 2>/dev/null"));
  }
  const std::string id = "com.calderim." + q[0];
  const std::string pkg = sb_.Path("dist/" + id + "_" + q[1] + "-" + q[2] + "_" + q[3] + ".zol");
  ASSERT_TRUE(PathExists(pkg)) << ShOut("ls '" + sb_.Path("dist") + "'");
  pkgfmt::Manifest m = ManifestOf(pkg);
  EXPECT_EQ(m.ID, id);
  EXPECT_EQ(m.Name, q[0]);
  EXPECT_EQ(m.Version, q[1] + "-" + q[2]);
  EXPECT_EQ(m.Arch, q[3]);
  EXPECT_EQ(m.Build.SourceType, "rpm");
  EXPECT_EQ(m.Build.OriginalPackage, rpm);

  // The tree is what rpm2cpio | cpio -idm makes of the same file.
  ShOut("set -e; cd '" + sb_.root + "'; mkdir theirs ours; (cd theirs && rpm2cpio '" + rpm +
        "' | cpio -idm --quiet); tar -xzf '" + pkg + "' -C ours");
  const std::string theirs = TreeListing(sb_.Path("theirs"));
  EXPECT_EQ(TreeListing(sb_.Path("ours/files")), theirs);
  EXPECT_THAT(theirs, HasSubstr("f 755 ./usr/bin/probe "));
  EXPECT_THAT(theirs, HasSubstr("l ./usr/lib/libhello.so -> libhello.so.1\n"));
  EXPECT_THAT(theirs, HasSubstr("f 644 ./etc/zolhello.conf d41d8cd98f00b204e9800998ecf8427e"));

  // Installed over a base layer and run inside the sandbox: the program is
  // still executable and the library link still leads to the library.
  const std::string rootfs = sb_.Path("rootfs");
  ZOL_REQUIRE(MakeBusyboxRootfs(rootfs), "busybox-static is not installed");
  r = Build({"--create-base", "--rootfs", rootfs, "--base", "rpmbase", "--arch", arch_, "--output", sb_.Path("base")});
  ASSERT_EQ(r.status, 0) << r.err;
  RunResult inst = sb_.Zol({"install", sb_.Path("base/com.calderim.base.rpmbase-" + arch_ + "_1.0.0_" + arch_ + ".zol")});
  ASSERT_EQ(inst.status, 0) << inst.err;
  inst = sb_.Zol({"install", pkg});
  ASSERT_EQ(inst.status, 0) << inst.err;
  ZOL_REQUIRE(::geteuid() == 0, "the sandbox needs root");
  RunResult run = ZolWithStandIns(sb_, {"run", id, "cat", "/app/usr/lib/libhello.so"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "library bytes");
  run = ZolWithStandIns(sb_, {"run", id, "stat", "/app/usr/bin/hello", "/app/usr/lib/libhello.so.1", "/bin/busybox"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "/app/usr/bin/hello f\n/app/usr/lib/libhello.so.1 f\n/bin/busybox f\n");
}

TEST_F(RpmBuildTest, PayloadsOtherThanGzipAreRefused) {
  struct Case {
    std::string payload, want;
  } cases[] = {
      {"w6.xzdio", "extract rpm: xz/lzma compressed rpms not yet supported: use rpm2cpio | cpio -id"},
      {"w6.lzdio", "extract rpm: xz/lzma compressed rpms not yet supported: use rpm2cpio | cpio -id"},
      {"w19.zstdio", "extract rpm: payload reader (default gzip): gzip: invalid header"},
      {"w9.bzdio", "extract rpm: payload reader (default gzip): gzip: invalid header"},
      {"w.ufdio", "extract rpm: gzip payload reader: gzip: invalid header"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.payload);
    RpmFields s;
    s.build_arch = "noarch";
    s.payload = c.payload;
    s.install = "mkdir -p %{buildroot}/usr/bin\nprintf x > %{buildroot}/usr/bin/x\n";
    s.files = "/usr/bin/x\n";
    const std::string dir = sb_.Path("rpm/" + c.payload);
    ShOut("mkdir -p '" + dir + "'");
    const std::string rpm = RpmBuild(dir, s);
    const std::string out = sb_.Path("out-" + c.payload);
    RunResult r = Build({"--from-rpm", rpm, "--command", "/app/usr/bin/x", "--output", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("build failed: " + c.want + "\n"));
    EXPECT_FALSE(PathExists(out));
    EXPECT_EQ(Leftovers(sb_.tmp), std::vector<std::string>{});
  }
  // A file that is no RPM fails before anything is created.
  Spit(sb_.Path("fake.rpm"), "not a package at all");
  RunResult r = Build({"--from-rpm", sb_.Path("fake.rpm"), "--output", sb_.Path("out-fake")});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("build failed: parse rpm: not an RPM file: invalid magic\n"));
  EXPECT_FALSE(PathExists(sb_.Path("out-fake")));
}

// A noarch RPM names no architecture: the package takes the host's, or
// --arch when given.
TEST_F(RpmBuildTest, NoarchBuildsForTheHostOrTheGivenArch) {
  ZOL_REQUIRE(!(arch_ != "x86_64" && arch_ != "aarch64"), std::string("host architecture ") + arch_);
  RpmFields s;
  s.build_arch = "noarch";
  s.install = "mkdir -p %{buildroot}/usr/bin\nprintf x > %{buildroot}/usr/bin/x\n";
  s.files = "/usr/bin/x\n";
  const std::string rpm = RpmBuild(sb_.Path("rpm"), s);
  const std::pair<std::vector<std::string>, std::string> cases[] = {{{}, arch_}, {{"--arch", "aarch64"}, "aarch64"}};
  for (const auto& [flags, arch] : cases) {
    const std::string out = sb_.Path("out-" + arch + std::to_string(flags.size()));
    std::vector<std::string> args = {"--from-rpm", rpm, "--command", "/app/usr/bin/x", "--output", out};
    args.insert(args.end(), flags.begin(), flags.end());
    RunResult r = Build(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string pkg = out + "/com.calderim.zolhello_2.3-1.el9_" + arch + ".zol";
    ASSERT_TRUE(PathExists(pkg)) << ShOut("ls '" + out + "'");
    EXPECT_EQ(ManifestOf(pkg).Arch, arch);
  }
}

// The real dnf, confined to a local repository whose path holds the release
// version, so only the version given on the command line finds it.
TEST_F(RpmBuildTest, RepositoryBuildWithDnf) {
  ZOL_REQUIRE(PathExists("/usr/bin/dnf"), "dnf is not installed");
  ZOL_REQUIRE(PathExists("/usr/lib/python3/dist-packages/dnf-plugins/download.py"),
              "dnf's download plugin (dnf-plugins-core) is not installed");
  // Per-process names: /tmp is shared with every other test run.
  const std::string name = "zolrepo" + std::to_string(::getpid());
  RpmFields s;
  s.name = name;
  s.version = "1.0";
  s.release = "1";
  s.install = "mkdir -p %{buildroot}/usr/bin\nprintf 'from the repository' > %{buildroot}/usr/bin/tool\n"
              "chmod 0755 %{buildroot}/usr/bin/tool\n";
  s.files = "/usr/bin/tool\n";
  ShOut("mkdir -p '" + sb_.Path("rpm/repo") + "' '" + sb_.Path("rpm/other") + "' '" + sb_.Path("repo-9") + "'");
  const std::string rpm = RpmBuild(sb_.Path("rpm/repo"), s);
  ShOut("cp '" + rpm + "' '" + sb_.Path("repo-9") + "/' && createrepo_c -q '" + sb_.Path("repo-9") + "'");

  // Another package planted where a download into the shared /tmp would be
  // looked for, and in TMPDIR.
  RpmFields planted = s;
  planted.name = name + "-libs";
  planted.version = "0";
  planted.install = "mkdir -p %{buildroot}/usr/bin\nprintf 'planted' > %{buildroot}/usr/bin/tool\n";
  const std::string plant_src = RpmBuild(sb_.Path("rpm/other"), planted);
  const std::vector<std::string> plants = {"/tmp/" + name + "-libs-0.rpm", sb_.tmp + "/" + name + "-libs-0.rpm"};
  for (const auto& p : plants) ShOut("cp '" + plant_src + "' '" + p + "'");

  Spit(sb_.Path("dnf.conf"), "[main]\nreposdir=" + sb_.Path("empty") + "\ncachedir=" + sb_.Path("dnfcache") +
                                      "\nlogdir=" + sb_.Path("dnflog") + "\npersistdir=" + sb_.Path("dnfpersist") +
                                      "\ngpgcheck=0\n[zoltest]\nname=zoltest\nbaseurl=file://" + sb_.root +
                                      "/repo-$releasever\ngpgcheck=0\n");
  // Records what it is given and the download directory's mode and owner,
  // then hands the same arguments to dnf with the test configuration.
  Stub("dnf", "stat -c '%a %u' \"$3\" >> \"$0.argv\"\nexec /usr/bin/dnf -q -c '" + sb_.Path("dnf.conf") +
                  "' --disableplugin=local,generate_completion_cache \"$@\"");
  const std::map<std::string, std::string> env = {{"PATH", sb_.Path("bin") + ":/usr/bin:/bin"}};

  RunResult r = Build({"--from-yum-pkg", name, "--yum-releasever", "9", "--command", "/app/usr/bin/tool", "--output",
                       sb_.Path("dist")},
                      env);
  for (const auto& p : plants) ::unlink(p.c_str());
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  std::smatch m;
  const std::string rpm_name = name + "-1.0-1." + arch_ + ".rpm";
  ASSERT_TRUE(std::regex_search(r.out, m, std::regex("Downloaded: (" + sb_.tmp + "/zol-yum-[0-9]+)/" + rpm_name + "\n")))
      << r.out;
  const std::string dest = m[1];
  EXPECT_THAT(r.out, HasSubstr("  [yum] Downloading " + name + " from yum repo...\n"));
  EXPECT_THAT(r.out, HasSubstr("\nBuild completed successfully.\n"));
  EXPECT_EQ(Slurp(sb_.Path("bin/dnf.argv")), "download\n--destdir\n" + dest + "\n" + name + "\n--releasever=9\n700 0\n");

  const std::string pkg = sb_.Path("dist/com.calderim." + name + "_1.0-1_" + arch_ + ".zol");
  ASSERT_TRUE(PathExists(pkg));
  EXPECT_EQ(ManifestOf(pkg).Build.OriginalPackage, dest + "/" + rpm_name);
  EXPECT_EQ(ShOut("tar -xzOf '" + pkg + "' files/usr/bin/tool"), "from the repository");
  EXPECT_FALSE(PathExists(dest));
  EXPECT_EQ(Leftovers(sb_.tmp), std::vector<std::string>{});

  // Release version 8 names a repository that does not exist.
  r = Build({"--from-yum-pkg", name, "--yum-releasever", "8", "--command", "/app/usr/bin/tool", "--output",
             sb_.Path("dist8")},
            env);
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("build failed: download " + name + ": exit status 1\n  Tip: verify the package exists: dnf list " +
                               name + "\n"));
  EXPECT_FALSE(PathExists(sb_.Path("dist8")));
  EXPECT_EQ(Leftovers(sb_.tmp), std::vector<std::string>{});
}

TEST_F(RpmBuildTest, RepositoryBranchesThroughStubs) {
  RpmFields s;
  s.name = "zolstub";
  s.version = "4.0";
  s.release = "2";
  s.install = "mkdir -p %{buildroot}/usr/bin\nprintf 'stub' > %{buildroot}/usr/bin/tool\n";
  s.files = "/usr/bin/tool\n";
  const std::string rpm = RpmBuild(sb_.Path("rpm"), s);
  const std::string target = "zolstub-4.0-2." + arch_ + ".rpm";
  const std::map<std::string, std::string> only_stubs = {{"PATH", sb_.Path("bin")}};
  const std::vector<std::string> common = {"--command", "/app/usr/bin/tool", "--output", sb_.Path("dist")};
  auto build = [&](std::vector<std::string> args) {
    args.insert(args.end(), common.begin(), common.end());
    return Build(args, only_stubs);
  };

  // Nothing to download with.
  RunResult r = build({"--from-yum-pkg", "zolstub"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("build failed: neither 'dnf' nor 'yumdownloader' found; install dnf-utils:\n"
                               "  yum install -y dnf-utils\n  # or: dnf install -y dnf-utils\n"));
  EXPECT_EQ(r.out, "");

  // yumdownloader when there is no dnf: its own vector, no release version.
  Stub("yumdownloader", "cp '" + rpm + "' \"${1#--destdir=}/" + target + "\"");
  r = build({"--from-yum-pkg", "zolstub", "--yum-releasever", "9"});
  ASSERT_EQ(r.status, 0) << r.err;
  std::smatch m;
  std::string argv = Slurp(sb_.Path("bin/yumdownloader.argv"));
  ASSERT_TRUE(std::regex_match(argv, m, std::regex("--destdir=(" + sb_.tmp + "/zol-yum-[0-9]+)\nzolstub\n"))) << argv;
  EXPECT_THAT(r.out, HasSubstr("  [yum] Downloaded: " + m[1].str() + "/" + target + "\n"));
  EXPECT_TRUE(PathExists(sb_.Path("dist/com.calderim.zolstub_4.0-2_" + arch_ + ".zol")));
  EXPECT_EQ(Leftovers(sb_.tmp), std::vector<std::string>{});

  // dnf wins over yumdownloader; what it leaves decides the outcome.
  struct Case {
    std::string what, pkg, releasever, dnf_body, want;  // want: a regex of the error
    bool ran;
  } cases[] = {
      {"file not named after the package", "zolstub", "", "cp '" + rpm + "' \"$3/other-4.0-2.rpm\"",
       "downloaded \\.rpm not found in " + sb_.tmp + "/zol-yum-[0-9]+ \\(tried " + sb_.tmp +
           "/zol-yum-[0-9]+/zolstub-\\*\\.rpm\\); check dnf output above",
       true},
      {"download that is no RPM", "zolstub", "", "echo junk > \"$3/zolstub-1.rpm\"",
       "parse rpm: not an RPM file: invalid magic", true},
      {"dnf fails", "zolstub", "", "exit 4",
       "download zolstub: exit status 4\n  Tip: verify the package exists: dnf list zolstub", true},
      {"leading dash", "--help", "", "", "invalid package name \"--help\": .*", false},
      {"pattern character", "zol*", "", "", "invalid package name \"zol\\*\": .*", false},
      {"separator in the release version", "zolstub", "9;touch x", "",
       "invalid command argument: --releasever=9;touch x", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ::unlink(sb_.Path("bin/dnf.argv").c_str());
    Stub("dnf", c.dnf_body);
    std::vector<std::string> args = {"--from-yum-pkg", c.pkg};
    if (!c.releasever.empty()) args.insert(args.end(), {"--yum-releasever", c.releasever});
    r = build(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(std::regex_search(r.err, std::regex("build failed: " + c.want + "\n"))) << r.err;
    EXPECT_EQ(PathExists(sb_.Path("bin/dnf.argv")), c.ran);
    EXPECT_EQ(Leftovers(sb_.tmp), std::vector<std::string>{});
  }
}

}  // namespace
}  // namespace e2e
