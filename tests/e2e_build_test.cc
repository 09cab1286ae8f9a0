// The build command as a user drives it: directory builds, base-layer builds,
// signing and the command's own usage and refusals.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "tests/fixtures.h"
#include "tests/harness.h"
#include "internal/util/fd.h"
#include "internal/testing/require.h"

namespace e2e {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

// This host's package architecture, which a build takes when given none.
const std::string& Host() {
  static const std::string arch = ShOut("uname -m | tr -d '\\n'");
  return arch;
}

std::string Golden(const std::string& name) {
  return Slurp(std::string(ZOL_SOURCE_DIR) + "/tests/testdata/build/" + name);
}

// Names in TMPDIR left by a build.
std::vector<std::string> BuildLeftovers(const Sandbox& sb) {
  std::vector<std::string> out;
  DIR* d = opendir(sb.tmp.c_str());
  if (d == nullptr) return out;
  while (struct dirent* e = readdir(d)) {
    std::string n = e->d_name;
    if (n.rfind("zol-build-", 0) == 0 || n.rfind("zol-base-build-", 0) == 0) out.push_back(n);
  }
  closedir(d);
  return out;
}

// Runs zol-cli in the sandbox's root so relative paths read as a user types them.
RunResult ZolIn(const Sandbox& sb, const std::vector<std::string>& args,
                const std::map<std::string, std::string>& extra = {}) {
  std::vector<std::string> argv = {ZolBin()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunArgv(argv, sb.Env(extra), "", sb.root);
}

// src&co: bin/tool (0755), bin/link -> tool, share/readme.
void MakeSourceTree(const Sandbox& sb) {
  ShOut("set -e; cd '" + sb.root + "'; mkdir -p 'src&co/bin' 'src&co/share'; "
        "printf '#!/bin/sh\\necho tool-ran \"$@\"\\n' > 'src&co/bin/tool'; chmod 0755 'src&co/bin/tool'; "
        "ln -s tool 'src&co/bin/link'; printf 'hello' > 'src&co/share/readme'; chmod 0640 'src&co/share/readme'");
}

const std::vector<std::string> kDirArgs = {"build", "--from-dir", "./src&co", "--command", "/app/bin/tool",
                                           "--id", "org.example.t", "--version", "2", "--output", "out"};

TEST(BuildDir, PackageLayoutManifestAndSidecar) {
  Sandbox sb;
  MakeSourceTree(sb);
  RunResult r = ZolIn(sb, kDirArgs);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "Build completed successfully.\n");
  std::string pkg = sb.Path("out/org.example.t_2_" + Host() + ".zol");

  EXPECT_EQ(ShOut("tar -tzf '" + pkg + "'"),
            "files\nfiles/bin\nfiles/bin/link\nfiles/bin/tool\nfiles/share\nfiles/share/readme\nmanifest.json\n");
  // The link to a file is stored as a regular file holding the target's content.
  std::string listing = ShOut("tar -tvzf '" + pkg + "' files/bin/link files/share/readme");
  EXPECT_EQ(listing.substr(0, 1), "-") << listing;
  EXPECT_THAT(listing, HasSubstr("-rw-r-----"));
  EXPECT_EQ(ShOut("tar -xzOf '" + pkg + "' files/bin/link"), "#!/bin/sh\necho tool-ran \"$@\"\n");

  std::string golden = Golden("dir_manifest.json");
  golden.replace(golden.find("@ARCH@"), 6, Host());
  EXPECT_EQ(ShOut("tar -xzOf '" + pkg + "' manifest.json"), golden);

  std::string sidecar = Slurp(pkg + ".sha256");
  EXPECT_EQ(sidecar.size(), 65u);
  EXPECT_EQ(sidecar, ShOut("sha256sum '" + pkg + "' | cut -c1-64"));

  // The tar stream ends at its two zero blocks: 7 headers, three one-block
  // files, the two-block manifest, 1024 bytes of end, no record padding.
  EXPECT_EQ(ShOut("gzip -dc '" + pkg + "' | wc -c"), std::to_string(7 * 512 + 5 * 512 + 1024) + "\n");
  EXPECT_FALSE(PathExists(pkg + ".sig"));
  EXPECT_THAT(BuildLeftovers(sb), ::testing::IsEmpty());
}

TEST(BuildDir, DefaultsNameVersionAndArch) {
  // Without --arch the host's; with it, what it names; anything else is
  // refused before a file is written.
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, Host()}, {{"--arch", "x86_64"}, "x86_64"}, {{"--arch", "aarch64"}, "aarch64"}};
  for (const auto& [flags, arch] : cases) {
    Sandbox sb;
    ShOut("set -e; mkdir -p '" + sb.root + "/tools/bin'; echo x > '" + sb.root + "/tools/bin/t'");
    std::vector<std::string> args = {"build", "--from-dir", "./tools/", "--command", "/app/bin/t", "--output", "dist"};
    args.insert(args.end(), flags.begin(), flags.end());
    RunResult r = ZolIn(sb, args);
    ASSERT_EQ(r.status, 0) << r.err;
    std::string pkg = sb.Path("dist/com.calderim.tools_1.0.0_" + arch + ".zol");
    EXPECT_TRUE(PathExists(pkg)) << ShOut("ls -R '" + sb.root + "/dist'");
    std::string m = ShOut("tar -xzOf '" + pkg + "' manifest.json");
    EXPECT_THAT(m, HasSubstr("\"name\": \"tools\""));
    EXPECT_THAT(m, HasSubstr("\"arch\": \"" + arch + "\""));
  }
  Sandbox sb;
  ShOut("mkdir -p '" + sb.root + "/tools'");
  RunResult r = ZolIn(sb, {"build", "--from-dir", "tools", "--command", "/app/bin/t", "--arch", "amd64", "--output",
                           "dist"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[FATAL] build failed: invalid architecture: amd64 (must be x86_64 or aarch64)\n");
  EXPECT_FALSE(PathExists(sb.Path("dist")));
}

// Links to a private file and to a setuid program: each copy takes the
// link's own bits, 0777 less the umask, and neither is setuid.
TEST(BuildDir, LinkedFilesTakeTheLinksBits) {
  Sandbox sb;
  ZOL_REQUIRE(PathExists("/usr/bin/passwd"), "no /usr/bin/passwd");
  ShOut("set -e; cd '" + sb.root + "'; mkdir s; printf secret > private; chmod 0600 private; "
        "ln -s ../private s/lprivate; ln -s /usr/bin/passwd s/lpasswd");
  RunResult r = RunArgv({"/bin/sh", "-c", "umask 022; exec \"$@\"", "sh", ZolBin(), "build", "--from-dir", "s",
                         "--command", "/app/lpasswd", "--output", "out"},
                        sb.Env(), "", sb.root);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string pkg = sb.Path("out/com.calderim.s_1.0.0_" + Host() + ".zol");
  std::string listing = ShOut("tar -tvzf '" + pkg + "' files/lpasswd files/lprivate");
  EXPECT_EQ(ShOut("tar -tvzf '" + pkg + "' files/lpasswd files/lprivate | grep -c '^-rwxr-xr-x '"), "2\n") << listing;
  EXPECT_EQ(ShOut("tar -xzOf '" + pkg + "' files/lprivate"), "secret");
}

TEST(BuildDir, Refusals) {
  struct Case {
    std::string name;
    std::string setup;  // shell, run in the sandbox root
    std::vector<std::string> args;
    std::string fatal;  // the whole [FATAL] line's text
  };
  const std::vector<Case> cases = {
      {"missing source", "", {"--from-dir", "nope", "--command", "/app/x"},
       "build failed: source directory nope does not exist"},
      {"link to a directory", "mkdir -p s/d; ln -s d s/l", {"--from-dir", "s", "--command", "/app/x"},
       "build failed: copy files: read s/l: is a directory"},
      {"slash in the version", "mkdir s", {"--from-dir", "s", "--command", "/app/x", "--version", "1/2"},
       "build failed: package version \"1/2\" cannot be part of a file name"},
      {"no command", "mkdir s", {"--from-dir", "s"},
       "build failed: pack zol: manifest error: entry.command: required field is missing"},
      {"fifo in the tree", "mkdir s; mkfifo s/pipe", {"--from-dir", "s", "--command", "/app/x"},
       "build failed: copy files: cannot copy s/pipe: it is a named pipe"},
      {"link to a fifo", "mkdir s; mkfifo p; ln -s ../p s/l", {"--from-dir", "s", "--command", "/app/x"},
       "build failed: copy files: cannot copy s/l: it is a named pipe"},
      {"two dots in a name", "mkdir s; echo x > s/notes..txt", {"--from-dir", "s", "--command", "/app/x"},
       "build failed: pack zol: path with .. rejected: files/notes..txt"},
      // Names install refuses: none of them may come out as a package.
      {"the working directory as source", "", {"--from-dir", ".", "--command", "/app/x"},
       "build failed: package id \"com.calderim..\" is not usable as a directory name"},
      {"backslash in the version", "mkdir s", {"--from-dir", "s", "--command", "/app/x", "--version", "1\\2"},
       "build failed: package version \"1\\\\2\" is not usable as a directory name"},
      {"empty base", "mkdir s", {"--from-dir", "s", "--command", "/app/x", "--base="},
       "build failed: package base \"\" is not usable as a directory name"},
      {"base-layer id", "mkdir s", {"--from-dir", "s", "--command", "/app/x", "--id", "base.tool"},
       "build failed: package id \"base.tool\": application ids may not begin with \"base.\" or "
       "\"com.calderim.base.\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox sb;
    if (!c.setup.empty()) ShOut("set -e; cd '" + sb.root + "'; " + c.setup);
    std::vector<std::string> args = {"build", "--output", "out"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = ZolIn(sb, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "[FATAL] " + c.fatal + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(ShOut("ls -A '" + sb.root + "/out' 2>/dev/null || true"), "");
    EXPECT_THAT(BuildLeftovers(sb), ::testing::IsEmpty());
  }
}

// Names at the edge of what install takes: a build that reports success
// must give a package that installs.
TEST(BuildDir, EdgeNamesInstall) {
  struct Case {
    std::vector<std::string> args;
    std::string file;  // under out/
  };
  const Case cases[] = {
      {{"--id", "org.example.a_b-c", "--version", "1:2.0~rc1+dfsg"}, "org.example.a_b-c_1:2.0~rc1+dfsg_" + Host() + ".zol"},
      {{"--id", "com.calderim.basement", "--base", "my.base-1"}, "com.calderim.basement_1.0.0_" + Host() + ".zol"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    Sandbox sb;
    ShOut("set -e; mkdir -p '" + sb.root + "/s/bin'; echo x > '" + sb.root + "/s/bin/t'");
    std::vector<std::string> args = {"build", "--from-dir", "s", "--command", "/app/bin/t", "--output", "out"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = ZolIn(sb, args);
    ASSERT_EQ(r.status, 0) << r.err;
    RunResult inst = sb.Zol({"install", sb.Path("out/" + c.file)});
    EXPECT_EQ(inst.status, 0) << inst.err;
  }
}

// Key files made with the openssl command line, so signing is checked
// against a second implementation: our PEM (seed then public key), the
// standard public key PEM, and the public key in base64.
struct OpensslKey {
  std::string key_path, spki_path, pub_b64;
};

OpensslKey MakeKey(const Sandbox& sb) {
  OpensslKey k{sb.Path("k/zol-signing.key"), sb.Path("k/pub.pem"), ""};
  ShOut("set -e; mkdir -p '" + sb.root + "/k'; cd '" + sb.root + "/k'; "
        "openssl genpkey -algorithm ed25519 -out priv.pem 2>/dev/null; "
        "openssl pkey -in priv.pem -pubout -out pub.pem; "
        "openssl pkey -in priv.pem -outform DER | tail -c 32 > seed; "
        "openssl pkey -in priv.pem -pubout -outform DER | tail -c 32 > pub; "
        "{ echo '-----BEGIN ED25519 PRIVATE KEY-----'; cat seed pub | base64 -w 64; "
        "echo '-----END ED25519 PRIVATE KEY-----'; } > zol-signing.key");
  k.pub_b64 = ShOut("base64 -w0 < '" + sb.root + "/k/pub'");
  return k;
}

TEST(BuildDir, SigningFollowsTheEnvironmentOnly) {
  Sandbox sb;
  MakeSourceTree(sb);
  OpensslKey key = MakeKey(sb);
  std::string pkg = sb.Path("out/org.example.t_2_" + Host() + ".zol");

  // "--sign" alone signs nothing.
  std::vector<std::string> with_flag = kDirArgs;
  with_flag.insert(with_flag.begin() + 1, {"--sign", key.key_path});
  RunResult r = ZolIn(sb, with_flag);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(PathExists(pkg + ".sig"));

  r = ZolIn(sb, kDirArgs, {{"ZOL_SIGNING_KEY_PATH", key.key_path}});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string sig = Slurp(pkg + ".sig");
  ASSERT_FALSE(sig.empty());
  std::string digest = ShOut("sha256sum '" + pkg + "' | cut -c1-64 | tr -d '\\n'");
  EXPECT_THAT(sig, HasSubstr("\"digest\": \"" + digest + "\""));
  EXPECT_THAT(sig, HasSubstr("\"public_key\": \"" + key.pub_b64 + "\""));
  // The signature covers the 64 characters of the digest text.
  ShOut("set -e; cd '" + sb.root + "/k'; printf '%s' '" + digest + "' > msg; "
        "sed -n 's/.*\"signature\": \"\\(.*\\)\".*/\\1/p' '" + pkg + ".sig' | base64 -d > sig.bin; "
        "openssl pkeyutl -verify -pubin -inkey pub.pem -rawin -in msg -sigfile sig.bin");

  RunResult inst = sb.Zol({"install", pkg}, {{"ZOL_PUBLIC_KEY", key.pub_b64}});
  EXPECT_EQ(inst.status, 0) << inst.err;

  // An unsigned rebuild takes the stale signature away, or install would
  // refuse the new package.
  ShOut("echo more >> '" + sb.root + "/src&co/share/readme'");
  r = ZolIn(sb, kDirArgs, {{"ZOL_SIGNING_KEY_PATH", ""}});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_FALSE(PathExists(pkg + ".sig"));
  EXPECT_TRUE(PathExists(pkg + ".sha256"));

  // A missing key fails the build after the package and its sidecar exist.
  r = ZolIn(sb, kDirArgs, {{"ZOL_SIGNING_KEY_PATH", sb.Path("k/none")}});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("[FATAL] build failed: pack zol: sign package: read private key " +
                               sb.Path("k/none") + ": "));
  EXPECT_TRUE(PathExists(pkg));
  EXPECT_TRUE(PathExists(pkg + ".sha256"));

  // A key whose stored public key is another's would sign what no install
  // accepts; the build says so instead of succeeding.
  const std::string mismatched = sb.Path("k/mismatched.key");
  ShOut("set -e; cd '" + sb.root + "/k'; openssl genpkey -algorithm ed25519 -out other.pem 2>/dev/null; "
        "openssl pkey -in other.pem -pubout -outform DER | tail -c 32 > other.pub; "
        "{ echo '-----BEGIN ED25519 PRIVATE KEY-----'; cat seed other.pub | base64 -w 64; "
        "echo '-----END ED25519 PRIVATE KEY-----'; } > mismatched.key");
  r = ZolIn(sb, kDirArgs, {{"ZOL_SIGNING_KEY_PATH", mismatched}});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, HasSubstr("[FATAL] build failed: pack zol: sign package: private key " + mismatched +
                               ": its public key does not belong to its seed"));
  EXPECT_FALSE(PathExists(pkg + ".sig"));
}

// A stand-in tar that refuses the attribute options, as older tars do. It
// says so on standard output too, where the builder's lines must stay in
// order around it.
void InstallOldTar(const Sandbox& sb) {
  ShOut("set -e; mkdir -p '" + sb.root + "/oldtar'; f='" + sb.root + "/oldtar/tar'; "
        "printf '#!/bin/sh\\necho stub tar run\\nfor a; do case \"$a\" in --xattrs|--acls) echo \"tar: unrecognized option $a\" >&2; "
        "exit 64;; esac; done\\nexec /bin/tar \"$@\"\\n' > \"$f\"; chmod 0755 \"$f\"");
}

TEST(BuildBase, PackageFromBusyboxRootfs) {
  Sandbox sb;
  std::string rootfs = sb.Path("rootfs");
  ZOL_REQUIRE(MakeBusyboxRootfs(rootfs), "busybox-static is not installed");
  // An owner the build host has no name for, and one it names: both stay numbers.
  ShOut("set -e; echo n > '" + rootfs + "/etc/owned'; chown 4321:8765 '" + rootfs + "/etc/owned'");

  RunResult r = ZolIn(sb, {"build", "--create-base", "--rootfs", "rootfs", "--base", "ubuntu24.04", "--arch",
                           "x86_64", "--version", "2.0", "--output", "out"},
                      {{"ZOL_SIGNING_KEY_PATH", sb.Path("no-such-key")}});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string rel_pkg = "out/com.calderim.base.ubuntu24.04-x86_64_2.0_x86_64.zol";
  std::string pkg = sb.Path(rel_pkg);
  std::vector<std::string> lines = Lines(r.out);
  ASSERT_EQ(lines.size(), 4u) << r.out;
  EXPECT_EQ(lines[0], "  [base] Packing rootfs from " + rootfs + " (this may take several minutes)...");
  EXPECT_EQ(lines[1], "  [base] Creating base package " + rel_pkg + "...");
  EXPECT_EQ(lines[2], "  [base] Done: " + rel_pkg + " (0MB)");
  EXPECT_EQ(lines[3], "Base package build completed successfully.");

  EXPECT_EQ(ShOut("tar -tzf '" + pkg + "'"), "files\nfiles/rootfs.tar.xz\nmanifest.json\nsignature.json\n");
  // XFL 4 in the gzip header: written at the fastest level.
  EXPECT_EQ(ShOut("od -An -tu1 -j8 -N1 '" + pkg + "' | tr -d ' \\n'"), "4");
  EXPECT_EQ(ShOut("tar -xzOf '" + pkg + "' manifest.json"), Golden("base_manifest.json"));
  std::string placeholder = ShOut("tar -xzOf '" + pkg + "' signature.json");
  EXPECT_EQ(placeholder, R"({"algorithm":"sha256","hash":"placeholder","signer":"zol-build"})");
  EXPECT_EQ(placeholder.size(), 64u);

  std::string inner = ShOut("cd '" + sb.root + "' && tar -xzOf '" + pkg + "' files/rootfs.tar.xz > inner.tar.xz && "
                            "tar -tJvf inner.tar.xz");
  for (const auto& line : Lines(inner)) EXPECT_THAT(line, HasSubstr(" ./")) << line;
  EXPECT_THAT(inner, HasSubstr(" 4321/8765 "));
  EXPECT_THAT(inner, HasSubstr(" 0/0 "));
  EXPECT_THAT(inner, ::testing::Not(HasSubstr("root/root")));

  EXPECT_FALSE(PathExists(pkg + ".sha256"));
  EXPECT_FALSE(PathExists(pkg + ".sig"));
  EXPECT_THAT(BuildLeftovers(sb), ::testing::IsEmpty());
}

TEST(BuildBase, TarballIsCutIntoBlocksThatStockTarUnpacks) {
  Sandbox sb;
  std::string rootfs = sb.Path("rootfs");
  ZOL_REQUIRE(MakeBusyboxRootfs(rootfs), "busybox-static is not installed");
  // More than two blocks of input, quick to compress.
  ShOut("head -c 17M /dev/zero > '" + rootfs + "/var/zeros'");
  // The user's own xz options still reach xz, after ours.
  RunResult r = ZolIn(sb, {"build", "--create-base", "--rootfs", rootfs, "--arch", "x86_64", "--output", "out"},
                      {{"XZ_OPT", "--check=sha256"}});
  ASSERT_EQ(r.status, 0) << r.err;
  std::string pkg = sb.Path("out/com.calderim.base.ubuntu24.04-x86_64_1.0.0_x86_64.zol");
  ShOut("set -e; cd '" + sb.root + "'; tar -xzOf '" + pkg + "' files/rootfs.tar.xz > inner.tar.xz; mkdir unpacked");
  // Columns of "xz --robot --list": file, streams, blocks, ..., check.
  std::vector<std::string> cols;
  for (const std::string& line : Lines(ShOut("xz --robot --list '" + sb.Path("inner.tar.xz") + "'"))) {
    if (line.rfind("file\t", 0) != 0) continue;
    for (size_t start = 0, tab; start <= line.size(); start = tab + 1) {
      tab = line.find('\t', start);
      if (tab == std::string::npos) tab = line.size();
      cols.push_back(line.substr(start, tab - start));
    }
  }
  ASSERT_GE(cols.size(), 7u);
  EXPECT_GE(std::stoi(cols[2]), 3) << "blocks";
  EXPECT_EQ(cols[6], "SHA-256");
  // Plain tar and xz, with none of the build's settings.
  ShOut("cd '" + sb.root + "' && env -u XZ_OPT -u XZ_DEFAULTS tar -xJf inner.tar.xz -C unpacked && "
        "diff -r --no-dereference '" + rootfs + "' unpacked");
}

TEST(BuildBase, RetriesWithoutAttributesAndDefaults) {
  Sandbox sb;
  std::string rootfs = sb.Path("rootfs");
  ZOL_REQUIRE(MakeBusyboxRootfs(rootfs), "busybox-static is not installed");
  InstallOldTar(sb);
  std::map<std::string, std::string> env = {{"PATH", sb.Path("oldtar") + ":/usr/sbin:/usr/bin:/sbin:/bin"}};
  // "--create-base" wins over a source flag, which is then ignored.
  RunResult r = ZolIn(sb, {"build", "--from-deb", "missing.deb", "--create-base", "--rootfs", rootfs, "--output",
                           "out"}, env);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("...\nstub tar run\n  [base] Retrying without xattrs (older tar)...\n"
                               "stub tar run\n  [base] Creating"));
  EXPECT_THAT(r.err, HasSubstr("unrecognized option --xattrs"));
  std::string pkg = sb.Path("out/com.calderim.base.ubuntu24.04-" + Host() + "_1.0.0_" + Host() + ".zol");
  ASSERT_TRUE(PathExists(pkg)) << r.out;
  // The second run keeps owners as numbers too.
  std::string inner = ShOut("tar -xzOf '" + pkg + "' files/rootfs.tar.xz | tar -tvJf -");
  EXPECT_THAT(inner, HasSubstr(" ./bin/busybox\n"));
  EXPECT_THAT(inner, HasSubstr(" 0/0 "));
  EXPECT_THAT(inner, ::testing::Not(HasSubstr("root/root")));
}

TEST(BuildBase, PackageStepFailureKeepsNoPartialFile) {
  Sandbox sb;
  ShOut("set -e; cd '" + sb.root + "'; mkdir -p r/etc out/com.calderim.base.ubuntu24.04-" + Host() + "_1.0.0_" + Host() + ".zol; "
        "echo x > r/etc/hostname");
  RunResult r = ZolIn(sb, {"build", "--create-base", "--rootfs", "r", "--output", "out"});
  EXPECT_EQ(r.status, 1);
  EXPECT_THAT(r.err, ::testing::StartsWith("[FATAL] build base failed: create package: rename "));
  EXPECT_EQ(ShOut("ls -A '" + sb.root + "/out'"), "com.calderim.base.ubuntu24.04-" + Host() + "_1.0.0_" + Host() + ".zol\n");
  EXPECT_THAT(BuildLeftovers(sb), ::testing::IsEmpty());
}

// A root filesystem whose archive install's extractor would refuse: the
// build fails with the extractor's own words instead of reporting a package.
TEST(BuildBase, TarballOverTheExtractorsMemberLimitIsRefused) {
  Sandbox sb;
  ShOut("set -e; cd '" + sb.root + "'; mkdir -p r/etc bigtar; echo x > r/etc/hostname; "
        "printf '#!/bin/sh\\nwhile [ $# -gt 0 ]; do if [ \"$1\" = -cJf ]; then truncate -s 536870913 \"$2\"; exit 0; fi; "
        "shift; done; exit 2\\n' > bigtar/tar; chmod 0755 bigtar/tar");
  RunResult r = ZolIn(sb, {"build", "--create-base", "--rootfs", "r", "--output", "out"},
                      {{"PATH", sb.Path("bigtar") + ":/usr/sbin:/usr/bin:/sbin:/bin"}});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "[FATAL] build base failed: pack rootfs: file files/rootfs.tar.xz exceeds max size limit (512 MB)\n");
  EXPECT_THAT(r.out, ::testing::Not(HasSubstr("Done")));
  EXPECT_THAT(r.out, ::testing::Not(HasSubstr("Creating base package")));
  EXPECT_FALSE(PathExists(sb.Path("out/com.calderim.base.ubuntu24.04-" + Host() + "_1.0.0_" + Host() + ".zol")));
  EXPECT_THAT(BuildLeftovers(sb), ::testing::IsEmpty());
}

// The names in `dir`, hidden ones included, sorted.
std::vector<std::string> Listing(const std::string& dir) {
  std::vector<std::string> out;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// Sends SIGINT to the build `args` at random points of its run: each time it
// stops with one line and status 1, and TMPDIR and the output directory "out"
// are as they were, with no program it started still running.
void InterruptAtRandomPoints(const Sandbox& sb, const std::vector<std::string>& args, const std::string& fatal) {
  ShOut("mkdir -p '" + sb.Path("out") + "' && echo k > '" + sb.Path("out/keep") + "'");
  const std::vector<std::string> tmp_before = Listing(sb.tmp), out_before = Listing(sb.Path("out"));
  // One whole build sets the range the points are drawn from.
  auto start = std::chrono::steady_clock::now();
  RunResult full = ZolIn(sb, args);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(full.status, 0) << full.err;
  ShOut("cd '" + sb.Path("out") + "' && find . -mindepth 1 ! -name keep -delete");
  std::string quoted;
  for (const std::string& a : args) quoted += " '" + a + "'";
  // A fixed seed draws the same points on every run, so a failure can be
  // repeated; ZOL_TEST_SEED draws others.
  const char* seed_text = std::getenv("ZOL_TEST_SEED");
  const uint32_t seed = seed_text != nullptr ? static_cast<uint32_t>(std::strtoul(seed_text, nullptr, 10)) : 20201u;
  SCOPED_TRACE("interrupt points drawn with ZOL_TEST_SEED=" + std::to_string(seed));
  std::mt19937 random(seed);
  std::uniform_real_distribution<double> point(0.0, 0.8 * seconds);
  for (int i = 0; i < 3; ++i) {
    double delay = i == 0 ? 0.0 : point(random);
    RunResult r;
    // A build can end before its drawn point on a busy machine: that draw
    // tells nothing about an interruption, so it is drawn again, earlier.
    for (int attempt = 0; attempt < 6; ++attempt, delay /= 2) {
      // A shell without job control starts background jobs with SIGINT
      // ignored; a user's terminal does not.
      r = RunArgv({"/bin/sh", "-c",
                             "env --default-signal=INT '" + ZolBin() + "'" + quoted + " >zout 2>zerr & Z=$!; "
                                 // The points are drawn from the build's own run, from when it has
                                 // made its temporary directory.
                                 "i=0; while [ $i -lt 2000 ] && ! ls \"$TMPDIR\" | grep -q '^zol-'; do "
                                 "i=$((i+1)); sleep 0.005; done; sleep " + std::to_string(delay) +
                                 "; kill -INT $Z; wait $Z; echo rc=$?; pgrep -f -- \"$TMPDIR/zol-\" || true"},
                            sb.Env(), "", sb.root);
      // The signal can also come after the build has finished but before the
      // process has ended; its default action then ends it (130) over a
      // complete package, which is as much a build that ended first.
      const bool ended_first =
          r.out == "rc=0\n" || (r.out == "rc=130\n" && Slurp(sb.Path("zerr")).empty() &&
                                 Listing(sb.Path("out")).size() > out_before.size());
      if (!ended_first) break;
      ShOut("cd '" + sb.Path("out") + "' && find . -mindepth 1 ! -name keep -delete");
    }
    SCOPED_TRACE("SIGINT after " + std::to_string(delay) + " s of a " + std::to_string(seconds) + " s build");
    EXPECT_EQ(r.out, "rc=1\n");
    EXPECT_EQ(Slurp(sb.Path("zerr")), fatal);
    EXPECT_EQ(Listing(sb.tmp), tmp_before);
    EXPECT_EQ(Listing(sb.Path("out")), out_before);
  }
}

TEST(BuildInterrupted, DirectoryBuildOfALargeTreeLeavesNothing) {
  Sandbox sb;
  ShOut("set -e; cd '" + sb.root + "'; mkdir -p big/bin big/data; printf '#!/bin/sh\\n' > big/bin/tool; "
        "chmod 0755 big/bin/tool; for i in $(seq 110); do head -c 1048576 /dev/urandom > big/data/f$i; done");
  InterruptAtRandomPoints(sb, {"build", "--from-dir", "big", "--command", "/app/bin/tool", "--output", "out"},
                          "[FATAL] build failed: interrupted by signal: interrupt\n");
}

TEST(BuildInterrupted, BaseBuildLeavesNothing) {
  Sandbox sb;
  ShOut("set -e; cd '" + sb.root + "'; mkdir -p r/etc r/data; echo x > r/etc/hostname; "
        "for i in $(seq 6); do head -c 1048576 /dev/urandom > r/data/f$i; done");
  InterruptAtRandomPoints(sb, {"build", "--create-base", "--rootfs", "r", "--output", "out"},
                          "[FATAL] build base failed: interrupted by signal: interrupt\n");
}

// A SIGKILL of the command leaves no worker behind: the worker and every
// program it started end with it, and no package appears afterwards.
TEST(BuildInterrupted, KilledCommandTakesItsWorkerAlong) {
  Sandbox sb;
  ShOut("set -e; cd '" + sb.root + "'; mkdir -p r/etc r/data out; echo x > r/etc/hostname; "
        "for i in $(seq 24); do head -c 1048576 /dev/urandom > r/data/f$i; done");
  // Killed once the base build's tar runs, in the worker's process group.
  const std::string script = Q(ZolBin()) + std::string(" build --create-base --rootfs r --output out >zout 2>&1 & Z=$!\n"
       "i=0; while [ $i -lt 2000 ] && ! pgrep -f -- \"tar.*$TMPDIR/zol-\" >/dev/null; do i=$((i+1)); sleep 0.005; done\n"
       "G=$(ps -o pgid= -p $(pgrep -f -- \"tar.*$TMPDIR/zol-\" | head -1) | tr -d ' ')\n"
       "kill -KILL $Z; wait $Z; echo rc=$?\n"
       // A zombie has ended; it only waits for init to collect it. Dying
       // programs free their memory first, which on a loaded machine takes a
       // while: the bound is generous, the point is that none works on.
       "alive() { for p in $(pgrep -g \"$G\"); do grep -q '^State:.*Z' /proc/$p/status || echo $p $(cat /proc/$p/comm); done; }\n"
       "i=0; while [ $i -lt 200 ] && [ -n \"$(alive)\" ]; do i=$((i+1)); sleep 0.1; done; alive | sed 's/^/left: /'\n"
       "echo pgid=$G\n");
  RunResult r = RunArgv({"/bin/sh", "-c", script}, sb.Env(), "", sb.root);
  EXPECT_THAT(r.out, HasSubstr("rc=137\n")) << r.out << r.err;
  EXPECT_THAT(r.out, Not(HasSubstr("left:"))) << r.out;
  EXPECT_THAT(r.out, Not(HasSubstr("pgid=\n"))) << "tar was never seen running";
  ::sleep(1);
  for (const std::string& name : Listing(sb.Path("out"))) {
    EXPECT_EQ(name.find(".zol"), std::string::npos) << name;
  }
}

// The worker ended at each of the renames that put the package and its
// sidecar in place: the output then holds nothing of the package, or the
// package with the sidecar that matches it, and nothing beside them.
TEST(BuildInterrupted, OutputHoldsThePackageWithItsSidecarOrNothing) {
  ZOL_REQUIRE_TOOL("strace");
  Sandbox sb;
  MakeSourceTree(sb);
  const std::string pkg = sb.Path("out/org.example.t_2_" + Host() + ".zol");
  for (const char* sig : {"TERM", "KILL"}) {
    for (int n = 1;; ++n) {
      ASSERT_LT(n, 50);
      std::string where = "SIG";
      where.append(sig).append(" at rename #").append(std::to_string(n));
      SCOPED_TRACE(where);
      ShOut("rm -rf '" + sb.Path("out") + "'");
      std::vector<std::string> argv = {"strace", "-f", "-qq", "-o", "/dev/null", "-e",
                                       std::string("inject=rename:signal=").append(sig).append(":when=").append(
                                           std::to_string(n)),
                                       ZolBin()};
      argv.insert(argv.end(), kDirArgs.begin(), kDirArgs.end());
      // The leak checker of sanitizer builds cannot run under a tracer.
      RunResult r = RunArgv(argv, sb.Env({{"ASAN_OPTIONS", "detect_leaks=0"}}), "", sb.root);
      std::vector<std::string> left = Listing(sb.Path("out"));
      if (r.status == 0) {
        EXPECT_EQ(left, (std::vector<std::string>{"org.example.t_2_" + Host() + ".zol", "org.example.t_2_" + Host() + ".zol.sha256"}));
        break;
      }
      EXPECT_EQ(r.status, 1) << r.err;
      EXPECT_THAT(r.err, HasSubstr("[FATAL] build failed: build process")) << r.err;
      if (left.empty()) continue;
      ASSERT_EQ(left, (std::vector<std::string>{"org.example.t_2_" + Host() + ".zol", "org.example.t_2_" + Host() + ".zol.sha256"}));
      EXPECT_EQ(Slurp(pkg + ".sha256"), ShOut("sha256sum '" + pkg + "' | cut -c1-64"));
    }
  }
}

// A build killed with its watcher (SIGKILL of the command) leaves its
// pending files beside the package, a partial package among them; the next
// build of that package removes them, and only them: a live build's files
// (held locked, as a writer holds them) and other names stay.
TEST(BuildInterrupted, WhatBuildsKilledOutrightLeftGoesWithTheNext) {
  Sandbox sb;
  MakeSourceTree(sb);
  const std::string p = "org.example.t_2_" + Host() + ".zol";
  const std::vector<std::string> dead = {"." + p + ".tmp11", "." + p + ".tmp11.sig", ".." + p + ".tmp22.tmp23",
                                         "." + p + ".tmp33.sig"};
  const std::vector<std::string> live = {"." + p + ".tmp55", "." + p + ".tmp55.sig", ".." + p + ".tmp66.tmp67"};
  const std::vector<std::string> others = {"." + p + ".tmpx.sig", ".other.zol.tmp1", "." + p + ".tmp77.sha256"};
  ShOut("mkdir -p '" + sb.Path("out") + "'");
  for (const auto* names : {&dead, &live, &others}) {
    for (const std::string& n : *names) Spit(sb.Path("out/" + n), "partial");
  }
  std::vector<util::UniqueFd> held;
  for (const std::string& n : {live[0], live[2]}) {
    held.emplace_back(::open(sb.Path("out/" + n).c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_EQ(::flock(held.back().get(), LOCK_EX), 0);
  }
  RunResult r = ZolIn(sb, kDirArgs);
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> want = live;
  want.insert(want.end(), others.begin(), others.end());
  want.push_back(p);
  want.push_back(p + ".sha256");
  std::sort(want.begin(), want.end());
  EXPECT_EQ(Listing(sb.Path("out")), want);
}

TEST(BuildBase, Refusals) {
  struct Case {
    std::string name;
    std::vector<std::string> args;
    std::string fatal;
  };
  const std::vector<Case> cases = {
      {"missing rootfs", {"--rootfs", "nope"}, "build base failed: rootfs not found: "},
      {"architecture install refuses", {"--rootfs", "r", "--arch", "i686"},
       "build base failed: invalid architecture: i686 (must be x86_64 or aarch64)"},
      {"slash in the version", {"--rootfs", "r", "--version", "1/0"},
       "build base failed: package version \"1/0\" cannot be part of a file name"},
      {"slash in the base", {"--rootfs", "r", "--base", "a/b"},
       "build base failed: package id \"com.calderim.base.a/b-" + Host() + "\" cannot be part of a file name"},
      {"unsafe rootfs path", {"--rootfs", "r;x"}, "build base failed: invalid filesystem path: "},
      {"base install refuses", {"--rootfs", "r", "--base", ".."},
       "build base failed: package id \"com.calderim.base...-" + Host() + "\" is not usable as a directory name"},
      {"version install refuses", {"--rootfs", "r", "--version", "."},
       "build base failed: package version \".\" is not usable as a directory name"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Sandbox sb;
    ShOut("mkdir -p '" + sb.root + "/r' '" + sb.root + "/r;x'");
    std::vector<std::string> args = {"build", "--create-base", "--output", "out"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = ZolIn(sb, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, ::testing::StartsWith("[FATAL] " + c.fatal));
    EXPECT_FALSE(PathExists(sb.Path("out")));
    EXPECT_THAT(BuildLeftovers(sb), ::testing::IsEmpty());
  }
}

TEST(BuildCommand, UsageAndMissingChoices) {
  struct Case {
    std::vector<std::string> args;
    std::string fatal;
    bool usage;
  };
  const Case cases[] = {
      {{}, "must specify one of --from-deb, --from-rpm, --from-yum-pkg, --from-dir, or --create-base", true},
      {{"--create-base"}, "--rootfs is required with --create-base", true},
      {{"--create-base", "--rootfs", "/x", "--base="}, "--base is required with --create-base", true},
      {{"-h"}, "parse build flags: flag: help requested", true},
      // Flags after the first positional argument are not read.
      {{"./src", "--from-dir", "./src"},
       "must specify one of --from-deb, --from-rpm, --from-yum-pkg, --from-dir, or --create-base", true},
      {{"--pip-bundle=maybe"},
       "parse build flags: invalid boolean value \"maybe\" for -pip-bundle: parse error", true},
  };
  for (const auto& c : cases) {
    Sandbox sb;
    std::vector<std::string> args = {"build"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    RunResult r = sb.Zol(args);
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, ::testing::EndsWith("[FATAL] " + c.fatal + "\n"));
    std::vector<std::string> lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 21u) << r.out;
    EXPECT_EQ(lines[0], "Usage: zol-cli build --from-deb <deb> | --from-rpm <rpm> | --from-dir <dir> [options]");
    EXPECT_EQ(lines[3].find("Base runtime"), 32u);
    EXPECT_EQ(lines[20], "  --recipe <file>               zol-recipe.json for per-package build customizations");
    EXPECT_EQ(r.out, Golden("usage.txt"));
  }
}

// The first source in the order deb, rpm, yum, dir wins; the others are not
// looked at. Each road here fails at its first step, which names it.
TEST(BuildCommand, RoadChoice) {
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"--from-dir", "s", "--from-deb", "missing.deb"}, "[FATAL] build failed: parse deb: "},
      {{"--from-dir", "s", "--from-rpm", "missing.rpm"}, "[FATAL] build failed: parse rpm: "},
      {{"--from-yum-pkg", "x$y", "--from-rpm", "missing.rpm"}, "[FATAL] build failed: parse rpm: "},
      {{"--from-dir", "s", "--from-yum-pkg", "x$y"}, "[FATAL] build failed: invalid command argument: x$y\n"},
  };
  for (const auto& [flags, fatal] : cases) {
    SCOPED_TRACE(::testing::PrintToString(flags));
    Sandbox sb;
    ShOut("mkdir '" + sb.root + "/s'");
    std::vector<std::string> args = {"build", "--command", "/app/x", "--output", "out"};
    args.insert(args.end(), flags.begin(), flags.end());
    RunResult r = ZolIn(sb, args);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, ::testing::StartsWith(fatal));
    EXPECT_FALSE(PathExists(sb.Path("out")));
  }
}

// The road as a user walks it: a base layer and an application built with
// the command, installed, and run.
TEST(BuildRoad, BuildInstallRun) {
  Sandbox sb;
  std::string rootfs = sb.Path("rootfs");
  ZOL_REQUIRE(MakeBusyboxRootfs(rootfs), "busybox-static is not installed");
  std::string arch = ShOut("uname -m | tr -d '\\n'");
  ZOL_REQUIRE(!(arch != "x86_64" && arch != "aarch64"), std::string("host architecture ") + arch);
  MakeSourceTree(sb);

  RunResult r = ZolIn(sb, {"build", "--create-base", "--rootfs", "rootfs", "--base", "road1",
                           "--output", "dist"});
  ASSERT_EQ(r.status, 0) << r.err;
  r = ZolIn(sb, {"build", "--from-dir", "./src&co", "--id", "org.example.road", "--base", "road1", "--command",
                 "/app/bin/tool", "--output", "dist"});
  ASSERT_EQ(r.status, 0) << r.err;

  RunResult inst = sb.Zol({"install", sb.Path("dist/com.calderim.base.road1-" + arch + "_1.0.0_" + arch + ".zol")});
  ASSERT_EQ(inst.status, 0) << inst.err;
  inst = sb.Zol({"install", sb.Path("dist/org.example.road_1.0.0_" + arch + ".zol")});
  ASSERT_EQ(inst.status, 0) << inst.err;

  RunResult run = sb.Zol({"run", "--no-sandbox", "org.example.road", "a", "b"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("tool-ran a b"));
  run = ZolWithStandIns(sb, {"run", "org.example.road", "c"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_THAT(run.out, HasSubstr("tool-ran c"));
}

}  // namespace
}  // namespace e2e
