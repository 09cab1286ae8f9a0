// "build --from-deb" with real packages from Debian's registry: each tree
// checked against dpkg-deb's own extraction, hello run in the sandbox, the
// Python step against a local index, and the PAM fix-up on Debian's pamela.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "tests/fixtures.h"
#include "tests/harness.h"
#include "internal/testing/require.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;

const char* kCache = "/var/cache/zol-test-debs";

// The cached package file for `name`, fetched with apt-get download the first
// time; "" when the registry cannot be reached.
std::string FetchDeb(const std::string& name) {
  std::string script = "set -e; mkdir -p " + Q(kCache) + "; cd " + Q(kCache) +
                       "; f=$(ls " + name + "_*.deb 2>/dev/null | head -n1); "
                       "if [ -z \"$f\" ]; then d=$(mktemp -d ./fetch.XXXXXX); "
                       "(cd \"$d\" && apt-get download -q " + name + " >/dev/null 2>&1) || { rm -rf \"$d\"; exit 1; }; "
                       "for x in \"$d\"/*.deb; do mv -n \"$x\" .; done; rm -rf \"$d\"; "
                       "f=$(ls " + name + "_*.deb | head -n1); fi; echo \"$PWD/$f\"";
  RunResult r = Sh(script);
  if (r.status != 0) return "";
  std::string path = r.out.substr(0, r.out.find('\n'));
  return path;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> out;
  for (size_t at = 0, nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1) {
    out.push_back(text.substr(at, nl - at));
  }
  return out;
}

// Every entry below root as "d PATH", "f MODE PATH SHA256", "l PATH -> TEXT",
// sorted by path.
std::vector<std::string> Tree(const std::string& root) {
  std::map<std::string, std::string> sums;
  for (const std::string& l : SplitLines(
           Sh("cd " + Q(root) + " && find . -type f -print0 | xargs -0 -r sha256sum").out)) {
    sums[l.substr(66)] = l.substr(0, 64);
  }
  std::map<std::string, std::string> by_path;
  for (const std::string& l : SplitLines(Sh("cd " + Q(root) + " && find . -mindepth 1 -printf '%y %m %p\\0%l\\n'").out)) {
    const char kind = l[0];
    const size_t sp = l.find(' ', 2);
    const std::string mode = l.substr(2, sp - 2);
    const size_t nul = l.find('\0');
    const std::string path = l.substr(sp + 1, nul - sp - 1);
    const std::string link = l.substr(nul + 1);
    if (kind == 'd') {
      by_path[path] = "d " + path;
    } else if (kind == 'l') {
      by_path[path] = "l " + path + " -> " + link;
    } else {
      by_path[path] = "f " + mode + " " + path + " " + sums[path];
    }
  }
  std::vector<std::string> out;
  for (auto& [path, line] : by_path) out.push_back(std::move(line));
  return out;
}

// Where a path of the Debian tree lands in "files"; "" when it is dropped.
std::string Relocated(const std::string& path, bool is_dir) {
  std::string p = path.substr(2);  // "./"
  std::string top = p.substr(0, p.find('/'));
  std::string rest = p.size() > top.size() ? p.substr(top.size()) : "";
  if (rest.empty() && !is_dir) return "";
  static const std::map<std::string, std::string> kTop = {{"bin", "bin"}, {"sbin", "bin"},     {"lib", "lib"},
                                                          {"lib64", "lib"}, {"share", "share"}, {"etc", "etc"},
                                                          {"app", "app"}};
  static const std::map<std::string, std::string> kUsr = {
      {"bin", "bin"}, {"sbin", "bin"}, {"lib", "lib"}, {"lib64", "lib"}, {"share", "share"}};
  if (top == "usr") {
    if (rest.empty()) return "";
    std::string q = rest.substr(1);
    std::string sub = q.substr(0, q.find('/'));
    std::string tail = q.size() > sub.size() ? q.substr(sub.size()) : "";
    if (tail.empty() && !is_dir) return "";
    auto it = kUsr.find(sub);
    return "./" + (it != kUsr.end() ? it->second : "rootfs-overlay/usr/" + sub) + tail;
  }
  auto it = kTop.find(top);
  return "./" + (it != kTop.end() ? it->second : "rootfs-overlay/" + top) + rest;
}

// dpkg-deb's tree put through the relocation mapping.
std::vector<std::string> ExpectedTree(const std::string& dpkg_root) {
  std::vector<std::string> out;
  for (const std::string& line : Tree(dpkg_root)) {
    const char kind = line[0];
    size_t path_at = kind == 'f' ? line.find(' ', 2) + 1 : 2;
    size_t path_end = kind == 'l' ? line.find(" -> ") : kind == 'f' ? line.rfind(' ') : line.size();
    std::string path = line.substr(path_at, path_end - path_at);
    std::string to = Relocated(path, kind == 'd');
    if (to.empty()) continue;
    out.push_back(line.substr(0, path_at) + to + line.substr(path_end));
  }
  std::sort(out.begin(), out.end(), [](const std::string& a, const std::string& b) {
    auto key = [](const std::string& l) {
      size_t at = l[0] == 'f' ? l.find(' ', 2) + 1 : 2;
      return l.substr(at);
    };
    return key(a) < key(b);
  });
  return out;
}

class DebE2E : public ::testing::Test {
 protected:
  void SetUp() override {
    ZOL_REQUIRE(::geteuid() == 0, "build needs root");
  }
  std::string Need(const std::string& name) {
    std::string p = FetchDeb(name);
    if (p.empty()) ADD_FAILURE() << "could not fetch " << name << " with apt-get download";
    return p;
  }
  RunResult Build(const std::vector<std::string>& flags, const std::map<std::string, std::string>& env = {}) {
    std::vector<std::string> args = {"build"};
    args.insert(args.end(), flags.begin(), flags.end());
    return sb_.Zol(args, env);
  }
  // Builds the base layer `base` of rootfs into Dist(), `flags` added, and
  // installs it.
  void InstallBase(const std::string& rootfs, const std::string& base, const std::vector<std::string>& flags = {}) {
    std::vector<std::string> args = {"--create-base", "--rootfs", rootfs, "--base", base};
    args.insert(args.end(), flags.begin(), flags.end());
    args.insert(args.end(), {"--output", Dist()});
    RunResult built = Build(args);
    ASSERT_EQ(built.status, 0) << built.err;
    RunResult installed = sb_.Zol({"install", Dist() + "/com.calderim.base." + base + "-x86_64_1.0.0_x86_64.zol"});
    ASSERT_EQ(installed.status, 0) << installed.err;
  }
  // Builds deb on the layer `base` into Dist(), `flags` added, and installs
  // the package that the build names `pkg` (a pattern of the shell).
  void InstallApp(const std::string& deb, const std::string& base, const std::string& pkg,
                  const std::vector<std::string>& flags = {}) {
    std::vector<std::string> args = {"--from-deb", deb, "--base", base};
    args.insert(args.end(), flags.begin(), flags.end());
    args.insert(args.end(), {"--output", Dist()});
    RunResult built = Build(args);
    ASSERT_EQ(built.status, 0) << built.out << built.err;
    const std::string found = Sh("ls " + Q(Dist()) + "/" + pkg).out;
    ASSERT_FALSE(found.empty()) << Sh("ls " + Q(Dist())).out;
    RunResult installed = sb_.Zol({"install", found.substr(0, found.find('\n'))});
    ASSERT_EQ(installed.status, 0) << installed.err;
  }
  std::string Dist() const { return sb_.Path("dist"); }
  std::string Unpack(const std::string& pkg) {
    std::string dir = sb_.Path("unpacked");
    EXPECT_EQ(Sh("rm -rf " + Q(dir) + " && mkdir -p " + Q(dir) + " && tar -xzf " + Q(pkg) + " -C " + Q(dir)).status, 0);
    return dir;
  }
  Sandbox sb_;
};

TEST_F(DebE2E, RealPackagesMatchDpkgThroughTheRelocation) {
  struct Case {
    std::string package;
    std::string file;  // package file name
    std::string arch;
  } cases[] = {
      {"hello", "com.calderim.hello_2.10-3_x86_64.zol", "x86_64"},
      {"perl-base", "", "x86_64"},
      // Architecture "all": the host's (this test runs on x86_64 hosts only:
      // perl-base and hello are amd64 packages).
      {"python3-pamela", "com.calderim.python3-pamela_1.0.0-3_x86_64.zol", "x86_64"},
  };
  for (const auto& c : cases) {
    const std::string deb = Need(c.package);
    if (deb.empty()) continue;
    const std::string out = sb_.Path("out-" + c.package);
    RunResult r = Build({"--from-deb", deb, "--output", out});
    ASSERT_EQ(r.status, 0) << c.package << ": " << r.err;
    std::string file = c.file;
    if (file.empty()) {
      RunResult ls = Sh("cd " + Q(out) + " && ls *.zol");
      file = ls.out.substr(0, ls.out.find('\n'));
    }
    EXPECT_THAT(file, ::testing::EndsWith("_" + c.arch + ".zol")) << c.package;
    const std::string dir = Unpack(out + "/" + file);
    EXPECT_THAT(Slurp(dir + "/manifest.json"), HasSubstr("\"arch\": \"" + c.arch + "\"")) << c.package;
    const std::string ref = sb_.Path("dpkg-" + c.package);
    ASSERT_EQ(Sh("dpkg-deb -x " + Q(deb) + " " + Q(ref)).status, 0);
    const std::vector<std::string> got = Tree(dir + "/files");
    EXPECT_GT(got.size(), 5u) << c.package;
    EXPECT_EQ(got, ExpectedTree(ref)) << c.package;
    if (c.package == "perl-base") {
      // A hard link of the data archive; the package holds it as a copy.
      EXPECT_EQ(Slurp(dir + "/files/bin/perl5.36.0"), Slurp(dir + "/files/bin/perl"));
      EXPECT_GT(Slurp(dir + "/files/bin/perl5.36.0").size(), 1000000u);
    }
  }
  EXPECT_TRUE(Sh("ls " + Q(sb_.tmp) + " | grep zol-build-").out.empty());
}

TEST_F(DebE2E, AbsoluteLinksFailTheBuildNamingTheMember) {
  const std::string deb = Need("kmod");
  if (deb.empty()) return;
  RunResult r = Build({"--from-deb", deb, "--output", sb_.Path("out")});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("absolute symlink rejected: files/bin/depmod -> /bin/kmod"));
  EXPECT_TRUE(Sh("ls -A " + Q(sb_.Path("out")) + " 2>/dev/null").out.empty());
}

TEST_F(DebE2E, HelloRunsInTheSandbox) {
  const std::string deb = Need("hello");
  if (deb.empty()) return;
  // A busybox layer with the host's C library, which hello links against.
  const std::string rootfs = sb_.Path("rootfs");
  ASSERT_TRUE(MakeBusyboxRootfs(rootfs));
  ASSERT_EQ(Sh("mkdir -p " + Q(rootfs + "/lib64") + " " + Q(rootfs + "/usr/lib") +
               " && cp -L /lib64/ld-linux-x86-64.so.2 " + Q(rootfs + "/lib64/") +
               " && cp -L /lib/x86_64-linux-gnu/libc.so.6 " + Q(rootfs + "/usr/lib/"))
                .status,
            0);
  ASSERT_NO_FATAL_FAILURE(InstallBase(rootfs, "debtest", {"--arch", "x86_64"}));
  ASSERT_NO_FATAL_FAILURE(InstallApp(deb, "debtest", "com.calderim.hello_2.10-3_x86_64.zol"));
  RunResult run = ZolWithStandIns(sb_, {"run", "com.calderim.hello"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "Hello, world!\n");
}

// An architecture-independent package takes the host's architecture, so it
// finds the host's base layer; --arch still chooses. neofetch is a bash
// script: the layer gets the host's bash beside busybox.
TEST_F(DebE2E, ArchitectureIndependentPackageRunsOnTheHostsBase) {
  const std::string deb = Need("neofetch");
  if (deb.empty()) return;
  ZOL_REQUIRE(Sh("uname -m").out == "x86_64\n", "the package names are those of an x86_64 host");
  const std::string rootfs = sb_.Path("rootfs");
  ASSERT_TRUE(MakeBusyboxRootfs(rootfs));
  ASSERT_EQ(Sh("set -e; mkdir -p " + Q(rootfs + "/lib64") + " " + Q(rootfs + "/usr/lib") + "; cp -L /bin/bash " +
               Q(rootfs + "/bin/bash") + "; cp -L /lib64/ld-linux-x86-64.so.2 " + Q(rootfs + "/lib64/") +
               "; cp -L /lib/x86_64-linux-gnu/libc.so.6 /lib/x86_64-linux-gnu/libtinfo.so.6 " + Q(rootfs + "/usr/lib/"))
                .status,
            0);
  const std::string dist = Dist();
  ASSERT_NO_FATAL_FAILURE(InstallBase(rootfs, "debtest"));
  ASSERT_NO_FATAL_FAILURE(InstallApp(deb, "debtest", "com.calderim.neofetch_7.1.0-4_x86_64.zol"));
  RunResult other = Build({"--from-deb", deb, "--base", "debtest", "--arch", "aarch64", "--output", dist});
  ASSERT_EQ(other.status, 0) << other.err;
  EXPECT_EQ(Sh("cd " + Q(dist) + " && ls *.zol").out,
            "com.calderim.base.debtest-x86_64_1.0.0_x86_64.zol\ncom.calderim.neofetch_7.1.0-4_aarch64.zol\n"
            "com.calderim.neofetch_7.1.0-4_x86_64.zol\n");
  EXPECT_THAT(Slurp(Unpack(dist + "/com.calderim.neofetch_7.1.0-4_aarch64.zol") + "/manifest.json"),
              HasSubstr("\"arch\": \"aarch64\""));
  // neofetch ends its --version with "exit 1" itself; what matters is that
  // the sandbox found the layer and the script ran.
  RunResult run = ZolWithStandIns(sb_, {"run", "com.calderim.neofetch", "--version"});
  EXPECT_EQ(run.out, "Neofetch 7.1.0\n");
  EXPECT_EQ(run.err, "[FATAL] failed to run app: exit status 1\n");
}

// fd-find installs fdfind: without --command the build still succeeds, and
// says which entry is missing and what the package has.
TEST_F(DebE2E, DefaultCommandTheProgramLacksIsNamedAtBuildTime) {
  const std::string deb = Need("fd-find");
  if (deb.empty()) return;
  RunResult r = Build({"--from-deb", deb, "--output", sb_.Path("out")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("  [warn] entry command /app/bin/fd-find is not in the package; executables in "
                               "/app/bin: /app/bin/fdfind\n  [warn] give the entry command with --command\n"));
  RunResult given = Build({"--from-deb", deb, "--command", "/app/bin/fdfind", "--output", sb_.Path("out2")});
  ASSERT_EQ(given.status, 0) << given.err;
  EXPECT_THAT(given.out, ::testing::Not(HasSubstr("[warn]")));
}

// yamllint ("all") keeps its modules in dist-packages, which the package
// carries under /app/lib: it must import them, metadata included, from there
// and not from the base. The base is busybox with Debian's own python3 and
// yamllint's two dependencies, and the host's C libraries python3 links.
TEST_F(DebE2E, DebianPythonApplicationImportsItsOwnModules) {
  ZOL_REQUIRE(Sh("uname -m").out == "x86_64\n", "the layer takes the host's x86_64 libraries");
  const std::string app = Need("yamllint");
  std::vector<std::string> layer;
  for (const char* name : {"python3.11-minimal", "libpython3.11-minimal", "libpython3.11-stdlib", "python3-minimal",
                           "python3-yaml", "python3-pathspec"}) {
    layer.push_back(Need(name));
    if (layer.back().empty()) return;
  }
  if (app.empty()) return;
  const std::string rootfs = sb_.Path("rootfs");
  ASSERT_TRUE(MakeBusyboxRootfs(rootfs));
  std::string script = "set -e; mkdir -p " + Q(rootfs + "/lib64") + " " + Q(rootfs + "/usr/lib") +
                       "; cp -L /lib64/ld-linux-x86-64.so.2 " + Q(rootfs + "/lib64/") + "; cd /lib/x86_64-linux-gnu" +
                       "; cp -L libc.so.6 libm.so.6 libz.so.1 libexpat.so.1 " + Q(rootfs + "/usr/lib/");
  for (const std::string& deb : layer) script += "; dpkg-deb -x " + Q(deb) + " " + Q(rootfs);
  ASSERT_EQ(Sh(script).status, 0);
  ASSERT_NO_FATAL_FAILURE(InstallBase(rootfs, "pytest"));
  ASSERT_NO_FATAL_FAILURE(InstallApp(app, "pytest", "com.calderim.yamllint_1.29.0-1_x86_64.zol"));
  RunResult run = ZolWithStandIns(sb_, {"run", "com.calderim.yamllint", "--version"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "yamllint 1.29.0\n");
}

// A Debian epoch puts ":" into the install path, and the recipe's file gives
// the package a root-filesystem layer: the overlay must still take it.
TEST_F(DebE2E, EpochVersionWithAnOverlayRunsInTheSandbox) {
  const std::string deb = Need("busybox-static");
  if (deb.empty()) return;
  const std::string rootfs = sb_.Path("rootfs");
  ASSERT_TRUE(MakeBusyboxRootfs(rootfs));
  Spit(sb_.Path("recipe.json"), "{\"overlay_files\": {\"etc/zol-note\": \"from the recipe\\n\"}}");
  ASSERT_NO_FATAL_FAILURE(InstallBase(rootfs, "debtest", {"--arch", "x86_64"}));
  ASSERT_NO_FATAL_FAILURE(InstallApp(deb, "debtest", "com.calderim.busybox-static_1:*_x86_64.zol",
                                     {"--command", "/app/bin/busybox", "--recipe", sb_.Path("recipe.json")}));
  RunResult run = ZolWithStandIns(sb_, {"run", "com.calderim.busybox-static", "cat", "/etc/zol-note", "/etc/hosts"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "from the recipe\n" + Slurp("/etc/hosts"));
}

// Debian's own pamela.py, copied offline from a root filesystem that has the
// package installed, gets the fallback; the library is the host's, byte for
// byte, and the stale bytecode is gone.
TEST_F(DebE2E, PamelaFromDebianIsFixedUp) {
  const std::string hello = Need("hello");
  const std::string pamela = Need("python3-pamela");
  if (hello.empty() || pamela.empty()) return;
  const std::string rootfs = sb_.Path("pyroot");
  const std::string dist_packages = rootfs + "/usr/lib/python3/dist-packages";
  ASSERT_EQ(Sh("dpkg-deb -x " + Q(pamela) + " " + Q(rootfs) + " && mkdir -p " + Q(dist_packages + "/__pycache__") +
               " && echo stale > " + Q(dist_packages + "/__pycache__/pamela.cpython-311.pyc"))
                .status,
            0);
  RunResult r = Build({"--from-deb", hello, "--bundle-from-rootfs", rootfs, "--pip-package", "pamela.py", "--output",
                       sb_.Path("out")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string lib;
  for (const char* c : {"/usr/lib/x86_64-linux-gnu/libpam.so.0", "/usr/lib/aarch64-linux-gnu/libpam.so.0",
                        "/lib/x86_64-linux-gnu/libpam.so.0", "/lib/aarch64-linux-gnu/libpam.so.0"}) {
    if (lib.empty() && ::access(c, F_OK) == 0) lib = c;
  }
  ASSERT_FALSE(lib.empty()) << "the host has no libpam";
  EXPECT_THAT(r.out, HasSubstr("  [rootfs] Found 'pamela.py' in " + dist_packages));
  EXPECT_THAT(r.out, HasSubstr("  [pam] Bundled " + lib + " -> files/lib/libpam.so.0\n"));
  EXPECT_THAT(r.out, HasSubstr("  [pam] Patched pamela.py: added libpam.so.0 fallback for chroot\n"));
  const std::string dir = Unpack(sb_.Path("out/com.calderim.hello_2.10-3_x86_64.zol"));
  const std::string patched = Slurp(dir + "/files/site-packages/pamela.py");
  EXPECT_THAT(patched, HasSubstr("LIBPAM = CDLL(find_library(\"pam\") or \"libpam.so.0\")\n"));
  EXPECT_EQ(Slurp(dir + "/files/lib/libpam.so.0"), Slurp(lib));
  EXPECT_FALSE(Sh("test -e " + Q(dir + "/files/site-packages/__pycache__/pamela.cpython-311.pyc")).status == 0);
  EXPECT_THAT(Slurp(dir + "/manifest.json"), HasSubstr("/app/site-packages"));
}

// zol-cli's stdout is a pipe here, so fully buffered: its progress lines come
// before pip's own output only when they are flushed before pip starts.
TEST_F(DebE2E, ProgressLinesPrecedeTheOutputOfPip) {
  const std::string hello = Need("hello");
  if (hello.empty()) return;
  const std::string stub = "#!/bin/sh\necho \"pip ran: $*\"\n";
  ASSERT_EQ(Sh("mkdir -p " + Q(sb_.Path("stubbin")) + " " + Q(sb_.Path("root fs/usr/bin"))).status, 0);
  Spit(sb_.Path("stubbin/pip3"), stub, 0755);
  Spit(sb_.Path("root fs/usr/bin/python3"), stub, 0755);
  const std::string site = sb_.tmp + "/zol-build-tar-N/files/site-packages";
  const std::string pip_args = "install hello --target " + site + " --no-warn-script-location --quiet\n";
  struct Case {
    std::vector<std::string> flags;
    std::string want;
  } cases[] = {
      {{"--pip-bundle"},
       "Bundling Python dependencies: pip install hello --target " + site + "\n" +
           "  [warn] Using host pip3. For Python version compatibility use --bundle-from-rootfs.\n" +
           "pip ran: " + pip_args},
      {{"--pip-bundle", "--bundle-from-rootfs", sb_.Path("root fs")},
       "Bundling Python dependencies: pip install hello --target " + site + "\n" +
           "  [rootfs] Using rootfs Python " + sb_.Path("root fs") + "/usr/bin/python3 to pip install 'hello'...\n" +
           "pip ran: -m pip " + pip_args},
  };
  for (const auto& c : cases) {
    std::vector<std::string> flags = {"--from-deb", hello, "--output", sb_.Path("out")};
    flags.insert(flags.end(), c.flags.begin(), c.flags.end());
    RunResult r = Build(flags, {{"PATH", sb_.Path("stubbin") + ":/usr/sbin:/usr/bin:/sbin:/bin"}});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = std::regex_replace(r.out, std::regex("zol-build-tar-[0-9]+"), "zol-build-tar-N");
    EXPECT_THAT(out, ::testing::StartsWith(c.want)) << c.flags.back();
  }
}

// A wheel made here, served on the loopback by python3's http.server, and
// installed by the host's pip into the package.
TEST_F(DebE2E, PipInstallsFromALocalIndex) {
  const std::string hello = Need("hello");
  if (hello.empty()) return;
  ZOL_REQUIRE_TOOL("pip3");
  ZOL_REQUIRE_TOOL("python3");
  const std::string idx = sb_.Path("index");
  const std::string script =
      "import zipfile, os, sys, base64, hashlib\n"
      "d = sys.argv[1] + '/simple/tinypkg'\n"
      "os.makedirs(d)\n"
      "files = {'tinypkg/__init__.py': b'GREETING = \"hi from tinypkg\"\\n',\n"
      "  'tinypkg-0.1.dist-info/METADATA': b'Metadata-Version: 2.1\\nName: tinypkg\\nVersion: 0.1\\n',\n"
      "  'tinypkg-0.1.dist-info/WHEEL': b'Wheel-Version: 1.0\\nGenerator: test\\nRoot-Is-Purelib: true\\nTag: py3-none-any\\n'}\n"
      "rec = ''\n"
      "for n, b in files.items():\n"
      "  h = base64.urlsafe_b64encode(hashlib.sha256(b).digest()).rstrip(b'=').decode()\n"
      "  rec += '%s,sha256=%s,%d\\n' % (n, h, len(b))\n"
      "rec += 'tinypkg-0.1.dist-info/RECORD,,\\n'\n"
      "with zipfile.ZipFile(d + '/tinypkg-0.1-py3-none-any.whl', 'w') as z:\n"
      "  for n, b in files.items(): z.writestr(n, b)\n"
      "  z.writestr('tinypkg-0.1.dist-info/RECORD', rec)\n";
  Spit(sb_.Path("mkwheel.py"), script);
  ASSERT_EQ(Sh("python3 " + Q(sb_.Path("mkwheel.py")) + " " + Q(idx)).status, 0);
  // The server picks a free port and reports it through a file.
  const std::string serve =
      "import http.server, functools, sys\n"
      "h = functools.partial(http.server.SimpleHTTPRequestHandler, directory=sys.argv[1])\n"
      "s = http.server.HTTPServer(('127.0.0.1', 0), h)\n"
      "open(sys.argv[2] + '.tmp', 'w').write(str(s.server_address[1]))\n"
      "import os; os.rename(sys.argv[2] + '.tmp', sys.argv[2])\n"
      "s.serve_forever()\n";
  Spit(sb_.Path("serve.py"), serve);
  RunResult started = Sh("python3 " + Q(sb_.Path("serve.py")) + " " + Q(idx) + " " + Q(sb_.Path("port")) +
                         " >/dev/null 2>&1 & echo $!; i=0; while [ ! -f " + Q(sb_.Path("port")) +
                         " ] && [ $i -lt 500 ]; do sleep 0.01; i=$((i+1)); done");
  const std::string pid = started.out.substr(0, started.out.find('\n'));
  const std::string port = Slurp(sb_.Path("port"));
  ASSERT_FALSE(port.empty());
  RunResult r = Build({"--from-deb", hello, "--pip-bundle", "--pip-package", "tinypkg", "--pip-index-url",
                       "http://127.0.0.1:" + port + "/simple/", "--pip-trusted-host", "127.0.0.1", "--output",
                       sb_.Path("out")},
                      {{"PIP_DISABLE_PIP_VERSION_CHECK", "1"}, {"PIP_NO_CACHE_DIR", "1"}, {"PIP_NO_INPUT", "1"}});
  (void)Sh("kill " + pid);
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_THAT(r.out, HasSubstr("  [warn] Using host pip3. For Python version compatibility use --bundle-from-rootfs.\n"));
  const std::string dir = Unpack(sb_.Path("out/com.calderim.hello_2.10-3_x86_64.zol"));
  EXPECT_EQ(Slurp(dir + "/files/site-packages/tinypkg/__init__.py"), "GREETING = \"hi from tinypkg\"\n");
}

}  // namespace
}  // namespace e2e
