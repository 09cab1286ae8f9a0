// The install road, sidecars, lifecycle scripts, reinstall and parallel
// installs, driven through the real binary.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <random>
#include <thread>

#include "internal/pkgfmt/signature.h"
#include "tests/harness.h"
#include "tests/packages.h"
#include "internal/testing/require.h"

namespace e2e {
namespace {

using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

std::string Sha256(const std::string& path) {
  RunResult r = Sh("sha256sum '" + path + "' | cut -d' ' -f1");
  return r.out.substr(0, 64);
}

class InstallTest : public ::testing::Test {
 protected:
  void SetUp() override { pkgs_ = sb_.Path("pkgs"); mkdir(pkgs_.c_str(), 0755); }

  // A package with a matching checksum sidecar.
  std::string Package(const AppFields& spec, const std::map<std::string, std::string>& files = {{"bin/hello", "hi"}},
                      const std::string& name = "") {
    std::string p = pkgs_ + "/" + (name.empty() ? spec.id + "_" + spec.version + ".zol" : name);
    EXPECT_TRUE(MakePackage(p, AppManifestJSON(spec), files));
    Spit(p + ".sha256", Sha256(p) + "\n");
    return p;
  }

  Sandbox sb_;
  std::string pkgs_;
};

TEST_F(InstallTest, HappyPathLeavesTreeRecordAuditMetricsAndLog) {
  AppFields spec;
  std::string pkg = Package(spec, {{"bin/hello", "#!/bin/sh\necho hi\n"}, {"share/doc.txt", "doc"}});
  RunResult r = sb_.Zol({"install", pkg});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");

  const std::string dir = sb_.app_dir + "/com.example.hello/1.0";
  EXPECT_EQ(Slurp(dir + "/files/bin/hello"), "#!/bin/sh\necho hi\n");
  EXPECT_EQ(Slurp(dir + "/files/share/doc.txt"), "doc");
  EXPECT_EQ(Slurp(dir + "/manifest.json"), AppManifestJSON(spec));
  EXPECT_FALSE(PathExists(dir + ".installing"));

  EXPECT_THAT(Slurp(sb_.db_file),
              MatchesRegex("\\[\n  \\{\n    \"id\": \"com.example.hello\",\n    \"name\": \"Hello\",\n"
                           "    \"version\": \"1.0\",\n    \"arch\": \"x86_64\",\n    \"base\": \"testbase\",\n"
                           "    \"kind\": \"cli\",\n    \"install_path\": \"" + dir + "\",\n"
                           "    \"status\": \"installed\",\n    \"installed_at\": \"[0-9T:.+Z-]+\"\n  \\}\n\\]"));
  struct stat st;
  ASSERT_EQ(stat(sb_.db_file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  EXPECT_THAT(Slurp(sb_.audit_dir + "/audit.log"),
              MatchesRegex("\\{\"event\":\"PKG_INSTALL\",\"timestamp\":\"[0-9-]+T[0-9:]+Z\",\"user\":\"root\","
                           "\"pkg_name\":\"com.example.hello\",\"version\":\"1.0\",\"install_path\":\"" + dir +
                           "\"\\}\n"));
  EXPECT_THAT(Slurp(sb_.metrics_path), HasSubstr("zol_installed_packages 1\n"));
  std::string log = Slurp(sb_.log_dir + "/zol.log");
  EXPECT_THAT(log, ContainsRegex("\\[INFO\\] [0-9T:+Z-]+ Installed com.example.hello 1.0\n"));
  EXPECT_THAT(log, HasSubstr("[warn] com.example.hello_1.0.zol has no .sig signature \u2014 integrity verified, "
                             "but authenticity unconfirmed"));
  // Nothing of the install stays in the temporary directory.
  EXPECT_EQ(Sh("ls -A '" + sb_.tmp + "'").out, "");
}

TEST_F(InstallTest, FailuresReportTheirStepAndLeaveNothing) {
  AppFields ok;
  std::string good = Package(ok);
  std::string not_zol = pkgs_ + "/pkg.tar.gz";
  Sh("cp '" + good + "' '" + not_zol + "'");
  std::string no_files = pkgs_ + "/nofiles.zol";
  {
    Sh("d=$(mktemp -d); printf '%s' '" + AppManifestJSON(ok) + "' > $d/manifest.json; tar -czf '" + no_files +
       "' -C $d manifest.json; rm -rf $d");
  }
  AppFields bad_arch;
  bad_arch.arch = "amd64";
  std::string wrong_arch = Package(bad_arch, {{"x", "y"}}, "arch.zol");
  AppFields missing_script;
  missing_script.install_script = "files/nothere.sh";
  AppFields escaping;
  escaping.install_script = "../../etc/x";
  AppFields failing;
  failing.install_script = "files/fail.sh";
  std::string fail_pkg = Package(failing, {{"fail.sh", "#!/bin/sh\nexit 3\n"}}, "fail.zol");

  struct Case {
    std::vector<std::string> args;
    std::string err;
  } cases[] = {
      {{"install"}, "[FATAL] usage: zol-cli install <package.zol>\n"},
      {{"install", not_zol}, "[FATAL] install failed: validate package: not a .zol file: " + not_zol + "\n"},
      {{"install", no_files}, "[FATAL] install failed: validate package: missing files directory in package\n"},
      {{"install", wrong_arch},
       "[FATAL] install failed: validate package: parse manifest: manifest error: arch: invalid architecture: "
       "amd64\n"},
      {{"install", Package(escaping, {{"x", "y"}}, "esc.zol")},
       "[FATAL] install failed: install lifecycle script failed: lifecycle script path \"" + sb_.app_dir + "/etc/x\" escapes install "
       "directory \"" + sb_.app_dir + "/com.example.hello/1.0.installing\"\n"},
      {{"install", fail_pkg},
       "[FATAL] install failed: install lifecycle script failed: lifecycle script " + sb_.app_dir +
           "/com.example.hello/1.0.installing/files/fail.sh: exit status 3\n"},
  };
  for (const Case& c : cases) {
    RunResult r = sb_.Zol(c.args);
    EXPECT_EQ(r.status, 1) << c.args.back();
    EXPECT_THAT(r.err, testing::EndsWith(c.err)) << c.args.back();
    EXPECT_FALSE(PathExists(sb_.app_dir + "/com.example.hello/1.0")) << c.args.back();
    EXPECT_FALSE(PathExists(sb_.app_dir + "/com.example.hello/1.0.installing")) << c.args.back();
    EXPECT_FALSE(PathExists(sb_.db_file)) << c.args.back();
    EXPECT_EQ(Sh("ls -A '" + sb_.tmp + "'").out, "") << c.args.back();
  }
  // A missing script is only a hint.
  RunResult r = sb_.Zol({"install", Package(missing_script, {{"x", "y"}}, "missing.zol")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("[INFO]"));
  EXPECT_THAT(r.err, HasSubstr("[warn] Lifecycle script not found: " + sb_.app_dir +
                               "/com.example.hello/1.0.installing/files/nothere.sh (skipping)"));
}

TEST_F(InstallTest, SidecarMatrix) {
  AppFields spec;
  std::string pkg = pkgs_ + "/app.zol";
  ASSERT_TRUE(MakePackage(pkg, AppManifestJSON(spec), {{"bin/hello", "hi"}}));
  const std::string digest = Sha256(pkg);
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(toupper(c));
  const std::string wrong(64, '0');

  // Key pair for the ".sig" rows.
  RunResult kg = sb_.Zol({"keygen", "--dir", sb_.Path("keys")});
  ASSERT_EQ(kg.status, 0) << kg.err;
  const std::string tag = "Public key (base64): ";
  std::string pub = kg.out.substr(kg.out.find(tag) + tag.size());
  pub.erase(pub.find('\n'));

  struct Case {
    const char* name;
    std::function<void()> prepare;
    std::map<std::string, std::string> env;
    int status;
    std::string expect;  // substring of stderr
  } cases[] = {
      {"none", [] {}, {}, 0, "[warn] no checksum or signature for app.zol \u2014 skipping integrity check"},
      {"none required", [] {}, {{"ZOL_REQUIRE_CHECKSUM", "1"}}, 1,
       "[FATAL] install failed: package integrity check: no .sig or .sha256 found for " + pkg +
           " (ZOL_REQUIRE_CHECKSUM=1)\n"},
      {"none, true is not 1", [] {}, {{"ZOL_REQUIRE_CHECKSUM", "true"}}, 0, "skipping integrity check"},
      {"matching", [&] { Spit(pkg + ".sha256", digest + "\n"); }, {}, 0, "has no .sig signature"},
      {"mismatching", [&] { Spit(pkg + ".sha256", wrong); }, {}, 1,
       "[FATAL] install failed: package integrity check failed: checksum mismatch for " + pkg},
      {"upper case", [&] { Spit(pkg + ".sha256", upper); }, {}, 1, "package integrity check failed"},
      {"empty", [&] { Spit(pkg + ".sha256", ""); }, {}, 0,
       "[warn] app.zol has an empty .sha256 and no .sig \u2014 nothing was verified\n"},
      {"blank", [&] { Spit(pkg + ".sha256", " \n"); }, {}, 0, "nothing was verified"},
      {"too long to be a digest", [&] { Spit(pkg + ".sha256", digest + std::string(8192, 'x')); }, {}, 1,
       "[FATAL] install failed: package integrity check failed: read " + pkg + ".sha256: file larger than"},
      {"empty required", [&] { Spit(pkg + ".sha256", ""); }, {{"ZOL_REQUIRE_CHECKSUM", "1"}}, 1,
       "package integrity check: empty .sha256"},
      {"unreadable required", [&] { mkdir((pkg + ".sha256").c_str(), 0755); }, {{"ZOL_REQUIRE_CHECKSUM", "1"}}, 1,
       "package integrity check: unreadable .sha256"},
      {"signed, trusted key",
       [&] {
         Spit(pkg + ".sha256", wrong);  // never read when a signature exists
         ASSERT_TRUE(pkgfmt::SignPackage(pkg, sb_.Path("keys/zol-signing.key")).ok());
       },
       {{"ZOL_PUBLIC_KEY", pub}}, 0, ""},
      {"signed, built-in key", [&] { ASSERT_TRUE(pkgfmt::SignPackage(pkg, sb_.Path("keys/zol-signing.key")).ok()); },
       {}, 1, "[FATAL] install failed: package signature verification failed: "},
  };
  for (const Case& c : cases) {
    Sh("rm -rf '" + sb_.app_dir + "' '" + pkg + ".sha256' '" + pkg + ".sig' '" + sb_.db_file + "'");
    c.prepare();
    RunResult r = sb_.Zol({"install", pkg}, c.env);
    EXPECT_EQ(r.status, c.status) << c.name << "\n" << r.err;
    EXPECT_THAT(r.err, HasSubstr(c.expect)) << c.name;
    EXPECT_EQ(Sh("ls -A '" + sb_.tmp + "'").out, "") << c.name;
    Sh("rm -rf '" + pkg + ".sha256' '" + pkg + ".sig'");
  }
}

// Whoever owns the package file can replace it while root installs it. The
// shim stands in for that: the listed opens of the package get another one.
// Whatever the schedule, what is installed is the verified package or
// nothing.
TEST_F(InstallTest, APackageSwappedBetweenItsReadsNeverPassesForTheVerifiedOne) {
  RunResult kg = sb_.Zol({"keygen", "--dir", sb_.Path("keys")});
  ASSERT_EQ(kg.status, 0) << kg.err;
  const std::string tag = "Public key (base64): ";
  std::string pub = kg.out.substr(kg.out.find(tag) + tag.size());
  pub.erase(pub.find('\n'));
  AppFields spec;
  const std::string pkg = Package(spec, {{"bin/hello", "verified"}}, "app.zol");
  const std::string swapped = Package(spec, {{"bin/hello", "swapped"}}, "swapped.zol");
  const std::string installed = sb_.app_dir + "/" + spec.id + "/" + spec.version + "/files/bin/hello";
  for (const char* sidecar : {".sha256", ".sig"}) {
    if (std::string(sidecar) == ".sig") {
      ::unlink((pkg + ".sha256").c_str());
      ASSERT_TRUE(pkgfmt::SignPackage(pkg, sb_.Path("keys/zol-signing.key")).ok());
    }
    for (const char* command : {"install", "upgrade"}) {
      for (const char* swap : {"1", "2", "1,2", "2,3"}) {
        const std::string label = std::string(command) + " " + sidecar + " swapped at opens " + swap;
        Sh("rm -rf '" + sb_.app_dir + "' '" + sb_.db_file + "'");
        RunResult r = sb_.Zol({command, pkg}, {{"LD_PRELOAD", ZOL_SWAP_SHIM},
                                               {"ZOL_SHIM_PATH", pkg},
                                               {"ZOL_SHIM_OTHER", swapped},
                                               {"ZOL_SHIM_SWAP", swap},
                                               {"ZOL_PUBLIC_KEY", pub},
                                               {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
        if (r.status == 0) {
          EXPECT_EQ(Slurp(installed), "verified") << label << "\n" << r.err;
        } else {
          EXPECT_THAT(r.err, ContainsRegex("package (integrity check|signature verification) failed: ")) << label;
          EXPECT_FALSE(PathExists(installed)) << label;
        }
      }
    }
  }
}

// The extracted tree is renamed into place on one file system and copied
// across two; either way two hard-linked names install as two files.
TEST_F(InstallTest, HardLinkedNamesInstallAsTwoFilesWhereverTmpdirIs) {
  ASSERT_TRUE(EnterOwnMountNamespace()) << std::strerror(errno);
  AppFields spec;
  const std::string src = sb_.Path("hl");
  Sh("mkdir -p '" + src + "/files/bin'");
  Spit(src + "/manifest.json", AppManifestJSON(spec));
  const std::string pkg = pkgs_ + "/hl.zol";
  ASSERT_EQ(Sh("cd '" + src + "' && printf shared > files/bin/a && ln files/bin/a files/bin/b && "
               "tar -czf '" + pkg + "' manifest.json files && tar -tvzf '" + pkg + "' | grep -q ' link to '").status,
            0);
  Spit(pkg + ".sha256", Sha256(pkg) + "\n");
  const std::string other = sb_.Path("other-fs");
  ASSERT_EQ(::mkdir(other.c_str(), 0755), 0);
  ASSERT_EQ(Sh("mount -t tmpfs tmpfs '" + other + "'").status, 0);
  const std::string bin = sb_.app_dir + "/" + spec.id + "/" + spec.version + "/files/bin";
  for (const std::string& tmpdir : {sb_.tmp, other}) {
    Sh("rm -rf '" + sb_.app_dir + "' '" + sb_.db_file + "'");
    RunResult r = sb_.Zol({"install", pkg}, {{"TMPDIR", tmpdir}});
    ASSERT_EQ(r.status, 0) << tmpdir << "\n" << r.err;
    struct stat a, b;
    ASSERT_EQ(::stat((bin + "/a").c_str(), &a), 0);
    ASSERT_EQ(::stat((bin + "/b").c_str(), &b), 0);
    EXPECT_NE(a.st_ino, b.st_ino) << tmpdir;
    EXPECT_EQ(a.st_nlink, 1u) << tmpdir;
    EXPECT_EQ(Slurp(bin + "/a"), "shared");
    EXPECT_EQ(Slurp(bin + "/b"), "shared");
  }
  Sh("umount '" + other + "'");
}

TEST_F(InstallTest, AnUndecodableRegistryFailsTheInstallBeforeAnyTree) {
  AppFields spec;
  const std::string pkg = Package(spec);
  for (const char* text : {"not json", "[7]"}) {
    Sh("rm -rf '" + sb_.app_dir + "'");
    Spit(sb_.db_file, text);
    RunResult r = sb_.Zol({"install", pkg});
    EXPECT_EQ(r.status, 1) << text;
    EXPECT_THAT(r.err, HasSubstr("[FATAL] install failed: load db: ")) << text;
    EXPECT_FALSE(PathExists(sb_.app_dir + "/" + spec.id)) << text;
    EXPECT_EQ(Slurp(sb_.db_file), text);
    EXPECT_THAT(Slurp(sb_.audit_dir + "/audit.log"), Not(HasSubstr("PKG_INSTALL"))) << text;
    EXPECT_FALSE(PathExists(sb_.metrics_path)) << text;
    EXPECT_THAT(r.err, Not(HasSubstr("Installed com.example.hello"))) << text;
    EXPECT_EQ(Sh("ls -A '" + sb_.tmp + "'").out, "") << text;
  }
}

// The registry's lock is a step of its own: a failure to take it is no
// registry that failed to load.
TEST_F(InstallTest, ARegistryLockThatCannotBeTakenFailsAsSuch) {
  AppFields spec;
  const std::string pkg = Package(spec);
  ASSERT_EQ(Sh("mkdir -p '" + sb_.db_file + ".lock'").status, 0);
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"install", pkg}, "install failed"},
      {{"uninstall", spec.id}, "uninstall failed"},
  };
  for (const auto& [args, failed] : cases) {
    SCOPED_TRACE(args[0]);
    RunResult r = sb_.Zol(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr("[FATAL] " + failed + ": lock db: open " + sb_.db_file + ".lock: is a directory\n"));
    EXPECT_FALSE(PathExists(sb_.app_dir + "/" + spec.id));
    EXPECT_FALSE(PathExists(sb_.db_file));
  }
}

// A disk that fails part way into the package: the read error is what the
// install reports, never a tree it could not read taken for a bad package.
TEST_F(InstallTest, AReadErrorOfThePackageIsReportedAsSuch) {
  AppFields spec;
  std::mt19937 gen(7);
  std::string noise(256 * 1024, '\0');
  for (char& c : noise) c = static_cast<char>(gen());
  const std::string pkg = Package(spec, {{"bin/hello", "hi"}, {"share/noise", noise}}, "app.zol");
  struct stat st;
  ASSERT_EQ(::stat(pkg.c_str(), &st), 0);
  // The gzip header, the first members, the middle of the large member, the
  // gzip trailer.
  for (long long after : {0LL, 5000LL, 100000LL, static_cast<long long>(st.st_size) - 4}) {
    for (const char* command : {"install", "upgrade"}) {
      const std::string label = std::string(command) + " failing after " + std::to_string(after) + " bytes";
      RunResult r = sb_.Zol({command, pkg}, {{"LD_PRELOAD", ZOL_EIO_SHIM},
                                             {"ZOL_SHIM_EIO_PATH", pkg},
                                             {"ZOL_SHIM_EIO_AFTER", std::to_string(after)},
                                             {"ASAN_OPTIONS", "verify_asan_link_order=0"}});
      EXPECT_EQ(r.status, 1) << label;
      EXPECT_THAT(r.err, HasSubstr("read " + pkg + ": input/output error\n")) << label << "\n" << r.err;
      EXPECT_THAT(r.err, Not(HasSubstr("missing files directory"))) << label;
      EXPECT_FALSE(PathExists(sb_.app_dir + "/" + spec.id)) << label;
      EXPECT_FALSE(PathExists(sb_.db_file)) << label;
      EXPECT_EQ(Sh("ls -A '" + sb_.tmp + "'").out, "") << label;
    }
  }
}

TEST_F(InstallTest, HostileManifestValuesAreRefusedBeforeAnythingIsCreated) {
  AppFields neighbour;
  neighbour.id = "com.example.neighbour";
  ASSERT_EQ(sb_.Zol({"install", Package(neighbour)}).status, 0);
  const std::string before = Slurp(sb_.db_file);

  struct Case {
    std::string field, value;
  } cases[] = {
      {"version", "../x"}, {"id", "a/b"}, {"id", ".."},        {"id", "x\\y"},
      {"base", "."},       {"id", "base.evil"}, {"id", "com.calderim.base.evil"},
      {"version", std::string("1\0" "2", 3)},
      // A line feed would cut a log line in two and put another's words in
      // the log; no control character belongs in a directory name.
      {"version", "1.0\n[WARN] 2026-01-01T00:00:00Z forged line"}, {"id", "com.example.a\rb"},
      {"base", "ubuntu\t24.04"}, {"id", "com.example.\x7f"},
      // Names the install gives to trees in transit beside a version: as
      // versions, installing 1.0 would remove or take over them.
      {"version", "1.0.installing"}, {"version", "1.0.replaced-a1B2c3"}, {"version", "1.0.removing-x"},
  };
  int n = 0;
  for (const Case& c : cases) {
    AppFields spec;
    spec.id = "com.example.hostile";
    if (c.field == "id") spec.id = c.value;
    if (c.field == "version") spec.version = c.value;
    if (c.field == "base") spec.base = c.value;
    std::string pkg = Package(spec, {{"bin/x", "x"}}, "hostile" + std::to_string(n++) + ".zol");
    RunResult r = sb_.Zol({"install", pkg});
    EXPECT_EQ(r.status, 1) << c.field << "=" << c.value;
    EXPECT_THAT(r.err, HasSubstr("[FATAL] install failed: invalid manifest " + c.field)) << c.value;
    EXPECT_EQ(Sh("ls -A '" + sb_.app_dir + "'").out, "com.example.neighbour\n") << c.value;
    EXPECT_EQ(Slurp(sb_.db_file), before);
  }
  EXPECT_FALSE(PathExists(sb_.root + "/x"));
  EXPECT_EQ(Slurp(sb_.app_dir + "/com.example.neighbour/1.0/files/bin/hello"), "hi");
}

TEST_F(InstallTest, ScriptSeesStagingPathAndAFailureKeepsThePreviousInstall) {
  AppFields spec;
  spec.install_script = "files/setup.sh";
  std::string marker = sb_.Path("seen");
  std::string good = Package(spec, {{"setup.sh", "#!/bin/sh\nprintf '%s' \"$ZOL_INSTALL_PATH\" > " + marker + "\n"},
                                    {"bin/hello", "v1"}});
  RunResult r = sb_.Zol({"install", good}, {{"ZOL_INSTALL_PATH", "/inherited"}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(marker), sb_.app_dir + "/com.example.hello/1.0.installing");

  std::string bad = Package(spec, {{"setup.sh", "#!/bin/sh\nexit 3\n"}, {"bin/hello", "v2"}}, "bad.zol");
  r = sb_.Zol({"install", bad});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Slurp(sb_.app_dir + "/com.example.hello/1.0/files/bin/hello"), "v1");
  EXPECT_FALSE(PathExists(sb_.app_dir + "/com.example.hello/1.0.installing"));
}

TEST_F(InstallTest, KilledDuringScriptThenInstalledAgain) {
  AppFields spec;
  spec.install_script = "files/slow.sh";
  std::string flag = sb_.Path("started");
  // The script records its own pid (kept by the exec) and its parent's, the
  // install itself, so exactly those two are killed and nothing else running.
  std::string pkg = Package(spec, {{"slow.sh", "#!/bin/sh\necho $PPID $$ > " + flag + ".new\nmv " + flag +
                                                   ".new " + flag + "\nexec sleep 30\n"}});
  std::vector<std::string> argv = {ZolBin(), "install", pkg};
  std::vector<std::string> env = sb_.Env();
  std::thread killer([&] {
    for (int i = 0; i < 200 && !PathExists(flag); ++i) usleep(50000);
    int install_pid = 0, script_pid = 0;
    if (sscanf(Slurp(flag).c_str(), "%d %d", &install_pid, &script_pid) == 2) {
      kill(install_pid, SIGKILL);
      kill(script_pid, SIGKILL);
    }
  });
  RunResult r = RunArgv(argv, env);
  killer.join();
  EXPECT_EQ(r.status, 128 + SIGKILL);
  EXPECT_TRUE(IsDir(sb_.app_dir + "/com.example.hello/1.0.installing"));

  spec.install_script.clear();
  std::string again = Package(spec, {{"bin/hello", "hi"}}, "again.zol");
  r = sb_.Zol({"install", again});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(PathExists(sb_.app_dir + "/com.example.hello/1.0.installing"));
  EXPECT_TRUE(IsDir(sb_.app_dir + "/com.example.hello/1.0/files"));
}

TEST_F(InstallTest, ReinstallWhoseCommitFailsKeepsTheOldTreeAndRecord) {
  AppFields spec;
  ASSERT_EQ(sb_.Zol({"install", Package(spec, {{"bin/hello", "old"}})}).status, 0);
  const std::string record = Slurp(sb_.db_file);
  const std::string id_dir = sb_.app_dir + "/com.example.hello";
  // An immutable id directory refuses every rename inside it.
  ASSERT_EQ(Sh("chattr +i '" + id_dir + "'").status, 0);
  RunResult r = sb_.Zol({"install", Package(spec, {{"bin/hello", "new"}}, "new.zol")});
  Sh("chattr -i '" + id_dir + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(Slurp(id_dir + "/1.0/files/bin/hello"), "old");
  EXPECT_EQ(Slurp(sb_.db_file), record);

  // And a reinstall that can commit replaces the tree.
  r = sb_.Zol({"install", Package(spec, {{"bin/hello", "new"}}, "new2.zol")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(Slurp(id_dir + "/1.0/files/bin/hello"), "new");
  EXPECT_EQ(Sh("ls -A '" + id_dir + "'").out, "1.0\n");
}

TEST_F(InstallTest, ReinstallKeepsAVersionNamedLikeTheOldTreeSetAside) {
  AppFields spec;
  spec.version = "1.0.replaced";
  ASSERT_EQ(sb_.Zol({"install", Package(spec, {{"bin/hello", "other version"}})}).status, 0);
  spec.version = "1.0";
  ASSERT_EQ(sb_.Zol({"install", Package(spec, {{"bin/hello", "first"}})}).status, 0);
  RunResult r = sb_.Zol({"install", Package(spec, {{"bin/hello", "second"}}, "again.zol")});
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string id_dir = sb_.app_dir + "/com.example.hello";
  EXPECT_EQ(Slurp(id_dir + "/1.0/files/bin/hello"), "second");
  EXPECT_EQ(Slurp(id_dir + "/1.0.replaced/files/bin/hello"), "other version");
  EXPECT_EQ(Sh("ls -A '" + id_dir + "'").out, "1.0\n1.0.replaced\n");
}

TEST_F(InstallTest, RelativeAppDirIsRecordedAbsolute) {
  AppFields spec;
  std::string pkg = Package(spec);
  std::vector<std::string> argv = {ZolBin(), "install", pkg};
  RunResult r = RunArgv(argv, sb_.Env({{"DRAV_APP_DIR", "rel-apps"}}), "", sb_.root);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(Slurp(sb_.db_file), HasSubstr("\"install_path\": \"" + sb_.root + "/rel-apps/com.example.hello/1.0\""));
}

TEST_F(InstallTest, ParallelInstallsAreAllRecorded) {
  std::vector<std::string> pkgs;
  for (int i = 0; i < 8; ++i) {
    AppFields spec;
    spec.id = "com.example.app" + std::to_string(i);
    pkgs.push_back(Package(spec));
  }
  std::vector<std::thread> threads;
  std::vector<int> status(8, -1);
  for (int i = 0; i < 8; ++i) {
    threads.emplace_back([&, i] { status[i] = sb_.Zol({"install", pkgs[i]}).status; });
  }
  for (auto& t : threads) t.join();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(status[i], 0) << i;
  std::string db = Slurp(sb_.db_file);
  for (int i = 0; i < 8; ++i) EXPECT_THAT(db, HasSubstr("\"id\": \"com.example.app" + std::to_string(i) + "\""));
}

TEST_F(InstallTest, UpgradeAndUninstall) {
  AppFields spec;
  ASSERT_EQ(sb_.Zol({"install", Package(spec, {{"bin/hello", "one"}})}).status, 0);
  spec.version = "2.0";
  RunResult r = sb_.Zol({"upgrade", Package(spec, {{"bin/hello", "two"}})});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr(" Upgrading com.example.hello from 1.0 to 2.0\n"));
  std::string db = Slurp(sb_.db_file);
  EXPECT_THAT(db, HasSubstr("\"version\": \"2.0\""));
  EXPECT_THAT(db, Not(HasSubstr("\"version\": \"1.0\"")));
  EXPECT_TRUE(IsDir(sb_.app_dir + "/com.example.hello/1.0"));

  r = sb_.Zol({"uninstall", "com.example.hello"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr(" Uninstalled com.example.hello\n"));
  EXPECT_FALSE(PathExists(sb_.app_dir + "/com.example.hello/2.0"));
  EXPECT_TRUE(IsDir(sb_.app_dir + "/com.example.hello/1.0"));
  EXPECT_EQ(Slurp(sb_.db_file), "[]");
  EXPECT_THAT(Slurp(sb_.audit_dir + "/audit.log"),
              ContainsRegex("\\{\"event\":\"PKG_UNINSTALL\",\"timestamp\":\"[^\"]+\",\"user\":\"root\","
                            "\"pkg_name\":\"com.example.hello\",\"version\":\"2.0\"\\}\n$"));
  EXPECT_THAT(Slurp(sb_.metrics_path), HasSubstr("zol_installed_packages 0\n"));

  r = sb_.Zol({"uninstall", "com.example.hello"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, testing::EndsWith("[FATAL] uninstall failed: app com.example.hello not installed\n"));
  EXPECT_THAT(sb_.Zol({"uninstall"}).err, testing::EndsWith("[FATAL] usage: zol-cli uninstall <appid>\n"));
  EXPECT_THAT(sb_.Zol({"upgrade"}).err, testing::EndsWith("[FATAL] usage: zol-cli upgrade <package.zol>\n"));
}

TEST_F(InstallTest, UpgradeNamesTheStepThatCannotReadThePackage) {
  const std::string pkg = pkgs_ + "/app.zol";
  struct Case {
    std::string name;
    std::vector<CraftedMember> members;  // none: the file is not an archive
    std::string err;                     // the start of the [FATAL] line
  } cases[] = {
      {"not an archive", {}, "[FATAL] upgrade failed: extract package: "},
      {"no manifest", {{'d', "files", ""}, {'f', "files/x", "y"}}, "[FATAL] upgrade failed: read manifest: "},
      {"manifest not JSON", {{'f', "manifest.json", "{"}, {'d', "files", ""}},
       "[FATAL] upgrade failed: parse manifest: "},
      // Refused by the extractor although the manifest alone reads well.
      {"member outside the tree", {{'f', "manifest.json", "{}"}, {'f', "files/../../x", "y"}},
       "[FATAL] upgrade failed: extract package: "},
  };
  for (const Case& c : cases) {
    if (c.members.empty()) {
      Spit(pkg, "not a package");
    } else {
      RunResult made = CraftPackage(pkg, c.members);
      ASSERT_EQ(made.status, 0) << c.name << ": " << made.err;
    }
    RunResult r = sb_.Zol({"upgrade", pkg});
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_THAT(r.err, HasSubstr(c.err)) << c.name << ": " << r.err;
    EXPECT_FALSE(PathExists(sb_.app_dir)) << c.name;
    EXPECT_FALSE(PathExists(sb_.db_file)) << c.name;
    EXPECT_EQ(Sh("ls -A '" + sb_.tmp + "'").out, "") << c.name;
  }
}

TEST_F(InstallTest, UninstallScriptFailureStillRemoves) {
  AppFields spec;
  spec.uninstall_script = "files/bye.sh";
  ASSERT_EQ(sb_.Zol({"install", Package(spec, {{"bye.sh", "#!/bin/sh\nexit 4\n"}})}).status, 0);
  RunResult r = sb_.Zol({"uninstall", spec.id});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, HasSubstr("[INFO]"));
  EXPECT_THAT(r.err, HasSubstr("[warn] Uninstall lifecycle script failed (continuing): lifecycle script "));
  EXPECT_FALSE(PathExists(sb_.app_dir + "/com.example.hello/1.0"));
}

// Installs and uninstalls under concurrency and interruption. A kill is
// injected at the Nth call of one system call with strace, for every N the
// command reaches.


// The install path the registry text records for `id`, or "".
std::string RecordedPath(const std::string& db, const std::string& id) {
  size_t at = db.find("\"id\": \"" + id + "\"");
  if (at == std::string::npos) return "";
  const std::string key = "\"install_path\": \"";
  at = db.find(key, at);
  if (at == std::string::npos) return "";
  at += key.size();
  return db.substr(at, db.find('"', at) - at);
}

// A package tree of one generation: enough files that a copy or a removal
// takes many steps, each file naming its generation.
std::map<std::string, std::string> Generation(const std::string& gen, int files) {
  std::map<std::string, std::string> out = {{"bin/hello", gen}};
  for (int i = 0; i < files; ++i) out["share/f" + std::to_string(i)] = gen + std::to_string(i);
  return out;
}

// Whether `dir` holds exactly the install of `manifest` with the files of one
// of `gens`, nothing missing and nothing mixed.
::testing::AssertionResult CompleteTree(const std::string& dir, const std::string& manifest,
                                        const std::vector<std::map<std::string, std::string>>& gens) {
  if (Slurp(dir + "/manifest.json") != manifest) return ::testing::AssertionFailure() << dir << ": manifest";
  const std::string listing = Sh("cd '" + dir + "/files' && find . -type f | sort").out;
  for (const auto& files : gens) {
    std::string want;
    std::map<std::string, std::string> sorted;
    for (const auto& [rel, content] : files) sorted["./" + rel] = content;
    for (const auto& [rel, content] : sorted) want += rel + "\n";
    if (listing != want) continue;
    bool same = true;
    for (const auto& [rel, content] : files) same = same && Slurp(dir + "/files/" + rel) == content;
    if (same) return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << dir << " is not a complete tree:\n" << listing;
}

TEST_F(InstallTest, ParallelInstallsOfOnePackageRecordACompleteTree) {
  AppFields spec;
  const auto files = Generation("g", 40);
  const std::string pkg = Package(spec, files);
  const std::string id_dir = sb_.app_dir + "/" + spec.id;
  constexpr int kRounds = 20, kInstalls = 16;
  for (int round = 0; round < kRounds; ++round) {
    Sh("rm -rf '" + sb_.app_dir + "' '" + sb_.db_file + "'");
    std::vector<RunResult> results(kInstalls);
    std::vector<std::thread> threads;
    for (int i = 0; i < kInstalls; ++i) {
      threads.emplace_back([&, i] { results[i] = sb_.Zol({"install", pkg}); });
    }
    for (auto& t : threads) t.join();
    for (int i = 0; i < kInstalls; ++i) EXPECT_EQ(results[i].status, 0) << "round " << round << "\n" << results[i].err;
    const std::string db = Slurp(sb_.db_file);
    EXPECT_EQ(RecordedPath(db, spec.id), id_dir + "/1.0") << "round " << round;
    EXPECT_EQ(db.find("\"id\""), db.rfind("\"id\"")) << "round " << round << ": one record\n" << db;
    EXPECT_TRUE(CompleteTree(id_dir + "/1.0", AppManifestJSON(spec), {files})) << "round " << round;
    EXPECT_EQ(Sh("ls -A '" + id_dir + "'").out, "1.0\n") << "round " << round;
    if (HasFailure()) break;
  }
}

// The leak checker of sanitizer builds cannot run under a tracer.
// SIGINT, SIGTERM or SIGHUP while install, upgrade or sign unpacks a large
// package: the command stops with the signal's name and TMPDIR keeps no
// directory of it.
TEST_F(InstallTest, SignalMidExtractionLeavesNoTemporaryDirectory) {
  std::string big;
  big.reserve(48 << 20);
  std::mt19937_64 random(7);
  while (big.size() < (48u << 20)) {
    const uint64_t v = random();
    big.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  AppFields spec;
  const std::string pkg = Package(spec, {{"bin/hello", "hi"}, {"share/big", big}});
  ASSERT_EQ(sb_.Zol({"keygen", "--dir", sb_.Path("keys")}).status, 0);
  struct Case {
    std::string command, signal, fatal;
  };
  const Case cases[] = {
      {"install " + Q(pkg), "INT", "[FATAL] install failed: interrupted by signal: interrupt\n"},
      {"upgrade " + Q(pkg), "TERM", "[FATAL] upgrade failed: interrupted by signal: terminated\n"},
      {"sign --key " + Q(sb_.Path("keys/zol-signing.key")) + " " + Q(pkg), "HUP",
       "[FATAL] sign failed: interrupted by signal: hangup\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    RunResult r;
    for (int attempt = 0; attempt < 5; ++attempt) {
      r = RunArgv({"/bin/sh", "-c",
                   "env --default-signal=INT " + Q(ZolBin()) + " " + c.command + " >/dev/null 2>" + Q(sb_.Path("err")) + " & Z=$!\n"
                   "i=0; while [ $i -lt 2000 ] && ! ls \"$TMPDIR\" | grep -q '^zol-'; do i=$((i+1)); sleep 0.002; done\n"
                   "kill -" + c.signal + " $Z; wait $Z; echo rc=$?; ls \"$TMPDIR\" | grep '^zol-' || true\n"},
                  sb_.Env());
      // A command that finished first tells nothing: try again.
      if (r.out != "rc=0\n") break;
    }
    EXPECT_EQ(r.out, "rc=1\n") << r.err;
    EXPECT_EQ(Slurp(sb_.Path("err")), c.fatal);
  }
}

class TracedInstallTest : public InstallTest {
 protected:
  void SetUp() override {
    ZOL_REQUIRE_TOOL("strace");
    InstallTest::SetUp();
  }
  std::vector<std::string> TracedEnv() const { return sb_.Env({{"ASAN_OPTIONS", "detect_leaks=0"}}); }
};

// What is checked is what is installed only while the package is read once:
// neither the upgrade's version line nor the search for a base beside it
// opens the file again.
TEST_F(TracedInstallTest, InstallAndUpgradeOpenThePackageOnce) {
  AppFields spec;
  const std::string pkg = Package(spec);
  const std::string trace = sb_.Path("opens.trace");
  for (const char* command : {"install", "upgrade"}) {
    RunResult r = RunArgv({"strace", "-f", "-qq", "-o", trace, "-e", "trace=open,openat,openat2", ZolBin(), command, pkg},
                          TracedEnv());
    ASSERT_EQ(r.status, 0) << command << "\n" << r.err;
    RunResult opens = Sh("grep -F '\"" + pkg + "\"' '" + trace + "' | grep -c ' = [0-9][0-9]*$'");
    EXPECT_EQ(opens.out, "1\n") << command << "\n" << Slurp(trace);
  }
  EXPECT_THAT(Slurp(sb_.log_dir + "/zol.log"), HasSubstr("Upgrading com.example.hello from 1.0 to 1.0\n"));
}

TEST_F(TracedInstallTest, ReinstallKilledAtEachRenameKeepsACompleteTreeAndTheRerunLeavesNoHolder) {
  AppFields spec;
  const std::vector<std::map<std::string, std::string>> gens = {Generation("a", 4), Generation("b", 4)};
  const std::string pkgs[] = {Package(spec, gens[0], "a.zol"), Package(spec, gens[1], "b.zol")};
  const std::string id_dir = sb_.app_dir + "/" + spec.id;
  ASSERT_EQ(sb_.Zol({"install", pkgs[0]}).status, 0);
  int next = 1;

  // Without an exchange in one step (file systems that lack it) the old way
  // has a moment without a tree; then only the rerun's clean-up is checked.
  struct Mode {
    const char* name;
    std::vector<std::string> strace_args;
    bool atomic;
  } modes[] = {
      {"exchange", {}, true},
      {"no exchange", {"-e", "inject=renameat2:error=EINVAL"}, false},
  };
  for (const Mode& mode : modes) {
    for (const std::string sys : {"rename", "renameat", "renameat2"}) {
      if (!mode.atomic && sys == "renameat2") continue;
      for (int n = 1;; ++n) {
        ASSERT_LT(n, 20) << mode.name << " " << sys;
        const std::string where = std::string(mode.name) + ", kill at " + sys + " #" + std::to_string(n);
        std::vector<std::string> argv = {"strace", "-f", "-qq", "-o", "/dev/null"};
        argv.insert(argv.end(), mode.strace_args.begin(), mode.strace_args.end());
        for (const std::string& a : {std::string("-e"), "inject=" + sys + ":signal=KILL:when=" + std::to_string(n),
                                     ZolBin(), std::string("install"), pkgs[next]}) {
          argv.push_back(a);
        }
        RunResult r = RunArgv(argv, TracedEnv());
        if (r.status == 0) {
          EXPECT_TRUE(CompleteTree(id_dir + "/1.0", AppManifestJSON(spec), {gens[next]})) << where;
          next ^= 1;
          break;
        }
        ASSERT_EQ(r.status, 128 + SIGKILL) << where << "\n" << r.err;
        const std::string recorded = RecordedPath(Slurp(sb_.db_file), spec.id);
        ASSERT_EQ(recorded, id_dir + "/1.0") << where;
        if (mode.atomic) {
          EXPECT_TRUE(CompleteTree(recorded, AppManifestJSON(spec), gens)) << where;
        }

        r = sb_.Zol({"install", pkgs[next]});
        ASSERT_EQ(r.status, 0) << where << "\n" << r.err;
        EXPECT_TRUE(CompleteTree(id_dir + "/1.0", AppManifestJSON(spec), {gens[next]})) << where;
        EXPECT_EQ(Sh("ls -A '" + id_dir + "'").out, "1.0\n") << where;
        next ^= 1;
      }
    }
  }
}

TEST_F(TracedInstallTest, UninstallKilledDuringRemovalNeverLeavesARecordOverAPartTree) {
  AppFields spec;
  const auto files = Generation("u", 1);
  const std::string pkg = Package(spec, files);
  const std::string id_dir = sb_.app_dir + "/" + spec.id;
  const std::string manifest = AppManifestJSON(spec);

  // The removal itself (unlinkat, rmdir) comes after the record is gone. The
  // renames set the tree aside and then save the registry: a kill between
  // them leaves the record over no tree, never over part of one.
  for (const std::string sys : {"unlinkat", "rmdir", "rename"}) {
    for (int n = 1;; ++n) {
      ASSERT_LT(n, 200) << sys;
      const std::string where = "kill at " + sys + " #" + std::to_string(n);
      ASSERT_EQ(sb_.Zol({"install", pkg}).status, 0) << where;
      RunResult r = RunArgv({"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                             "inject=" + sys + ":signal=KILL:when=" + std::to_string(n), ZolBin(), "uninstall",
                             spec.id},
                            TracedEnv());
      if (r.status == 0) {
        EXPECT_EQ(Sh("ls -A '" + id_dir + "'").out, "") << where;
        break;
      }
      ASSERT_EQ(r.status, 128 + SIGKILL) << where << "\n" << r.err;
      const std::string recorded = RecordedPath(Slurp(sb_.db_file), spec.id);
      if (!recorded.empty() && (sys != "rename" || PathExists(recorded))) {
        EXPECT_TRUE(CompleteTree(recorded, manifest, {files})) << where;
      } else if (!recorded.empty()) {
        RunResult aside = Sh("ls -d '" + id_dir + "'/1.0.removing-*");
        EXPECT_TRUE(CompleteTree(aside.out.substr(0, aside.out.find('\n')), manifest, {files})) << where;
      }

      // The rerun finishes whatever the killed one left; when it had
      // finished the removal, there is nothing left to uninstall.
      const bool left = !recorded.empty() || Sh("ls -A '" + id_dir + "'").out != "";
      r = sb_.Zol({"uninstall", spec.id});
      if (left) {
        ASSERT_EQ(r.status, 0) << where << "\n" << r.err;
        EXPECT_THAT(r.err, HasSubstr(" Uninstalled com.example.hello\n")) << where;
        EXPECT_THAT(Slurp(sb_.audit_dir + "/audit.log"),
                    ContainsRegex("\"event\":\"PKG_UNINSTALL\"[^\n]*\"version\":\"1.0\"\\}\n$"))
            << where;
      } else {
        EXPECT_THAT(r.err, testing::EndsWith("app com.example.hello not installed\n")) << where;
      }
      EXPECT_EQ(RecordedPath(Slurp(sb_.db_file), spec.id), "") << where;
      EXPECT_EQ(Sh("ls -A '" + id_dir + "'").out, "") << where;
    }
  }
}

TEST_F(InstallTest, SidecarsThatAreNotRegularFilesFailAtOnce) {
  AppFields spec;
  const std::string pkg = pkgs_ + "/app.zol";
  ASSERT_TRUE(MakePackage(pkg, AppManifestJSON(spec), {{"bin/hello", "hi"}}));
  struct Case {
    std::string sidecar, command, err;
  } cases[] = {
      {".sha256", "install", "[FATAL] install failed: package integrity check failed: read " + pkg +
                                 ".sha256: not a regular file\n"},
      {".sig", "install", "[FATAL] install failed: package signature verification failed: read " + pkg +
                              ".sig: not a regular file\n"},
      {".sha256", "upgrade", "[FATAL] upgrade failed: package integrity check failed: read " + pkg +
                                 ".sha256: not a regular file\n"},
      {".sig", "upgrade", "[FATAL] upgrade failed: package signature verification failed: read " + pkg +
                              ".sig: not a regular file\n"},
  };
  for (const Case& c : cases) {
    const std::string where = c.command + " with a FIFO " + c.sidecar;
    Sh("rm -f '" + pkg + ".sha256' '" + pkg + ".sig'");
    ASSERT_EQ(mkfifo((pkg + c.sidecar).c_str(), 0644), 0);
    // A hang ends in the timeout's status 124 (the answer comes in a tenth of
    // a second; the timeout leaves room for slow builds on a busy machine).
    RunResult r = RunArgv({"timeout", "20", ZolBin(), c.command, pkg}, sb_.Env());
    EXPECT_EQ(r.status, 1) << where;
    EXPECT_THAT(r.err, testing::EndsWith(c.err)) << where;
    EXPECT_FALSE(PathExists(sb_.app_dir + "/" + spec.id)) << where;
    EXPECT_EQ(Sh("ls -A '" + sb_.tmp + "'").out, "") << where;
  }
}

TEST_F(InstallTest, PackageThatIsAFifoFailsAtOnce) {
  const std::string pkg = pkgs_ + "/fifo.zol";
  ASSERT_EQ(mkfifo(pkg.c_str(), 0644), 0);
  // With a checksum sidecar too, which starts the package's hashing.
  Sh("echo '" + std::string(64, '0') + "  fifo.zol' > '" + pkg + ".sha256'");
  for (const char* command : {"install", "upgrade"}) {
    RunResult r = RunArgv({"timeout", "20", ZolBin(), command, pkg}, sb_.Env());
    EXPECT_EQ(r.status, 1) << command;
    EXPECT_THAT(r.err, testing::HasSubstr("open source: open " + pkg + ": not a regular file\n")) << command;
    EXPECT_EQ(Sh("ls -A '" + sb_.tmp + "'").out, "") << command;
  }
}

}  // namespace
}  // namespace e2e
