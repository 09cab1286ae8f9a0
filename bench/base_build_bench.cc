// "zol-cli build --create-base" of a real tree (python3's and perl's
// libraries, about 80 MiB) beside a stock "tar -cJf" of the same tree, then
// "zol-cli install" of that base package beside a stock "tar -xJf" of its
// rootfs tarball. Each series is BENCH_RUNS runs (default 3), the two sides
// taken in turn.
//
//   base_build_bench [ZOL_BIN] [WORK_DIR]     (an empty WORK_DIR: a new one)
//
// Needs root. WORK_DIR (default: a new directory under TMPDIR) is removed
// afterwards unless it was given.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "internal/util/files.h"
#include "internal/util/process.h"

namespace {

double MiB(const std::string& path) {
  struct stat st = {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_size / 1048576.0 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string zol = argc > 1 ? argv[1] : (std::getenv("ZOL_BIN") ? std::getenv("ZOL_BIN") : "./build/zol-cli");
  const int runs = bench::Runs(3);
  std::optional<util::TempDir> owned;
  std::string work = bench::WorkDir(argc > 2 ? argv[2] : nullptr, &owned);
  if (work.empty()) return 1;
  const std::string tree = work + "/tree";
  // Whatever of these the host has; python3 and perl come with Debian.
  bench::Measure made = bench::Run(bench::Shell(
      "set -e; rm -rf '" + tree + "'; mkdir -p '" + tree + "'; for d in /usr/lib/python3.[0-9]* /usr/share/perl " +
      "/usr/share/perl5 /usr/lib/x86_64-linux-gnu/perl-base /usr/lib/aarch64-linux-gnu/perl-base; do " +
      "[ -d \"$d\" ] && cp -a \"$d\" '" + tree + "'/; done; true"));
  if (made.status != 0) {
    std::fprintf(stderr, "copying the tree failed\n");
    return 1;
  }
  util::Command du = bench::Shell("du -sm '" + tree + "' | cut -f1");
  du.stdout_mode = util::Stdio::kInherit;
  std::printf("tree (MiB): ");
  std::fflush(stdout);
  (void)bench::Run(du);
  (void)bench::Run(bench::Shell("tar -cf /dev/null -C '" + tree + "' ."));

  (void)util::MkdirAll(work + "/tmp", 0700);
  const std::vector<std::string> env = bench::ZolEnv(work);
  const std::string pkg = work + "/dist/com.calderim.base.bench-x86_64_1.0.0_x86_64.zol";
  util::Command build = bench::Zol(
      zol, {"build", "--create-base", "--rootfs", tree, "--base", "bench", "--arch", "x86_64", "--output", work + "/dist"},
      env);
  // The peer as a user runs it: no XZ_OPT of ours.
  util::Command tar = bench::Shell("env -u XZ_OPT tar -cJf '" + work + "/tree.tar.xz' -C '" + tree + "' .");

  std::printf("== build --create-base: %d runs each\n", runs);
  bench::PrintLoad();
  auto [t, z] = bench::Alternate(tar, build, runs);
  bench::PrintHeader();
  bench::PrintRow("tar -cJf", t);
  bench::PrintRow("zol-cli build --create-base", z, &t);
  std::printf("  output: zol %.1f MiB, tar -cJf %.1f MiB\n", MiB(pkg), MiB(work + "/tree.tar.xz"));

  // The package's own rootfs tarball for the peer, so both unpack the same.
  const std::string inner = work + "/rootfs.tar.xz";
  (void)bench::Run(bench::Shell("tar -xzOf '" + pkg + "' files/rootfs.tar.xz > '" + inner + "'"));
  const std::string unpack = work + "/unpacked";
  util::Command install = bench::Zol(zol, {"install", pkg}, env);
  util::Command extract =
      bench::Shell("env -u XZ_OPT tar --numeric-owner -xJf '" + inner + "' -C '" + unpack + "'");
  auto fresh = [&] {
    (void)util::RemoveAll(unpack);
    (void)util::MkdirAll(unpack, 0755);
    (void)util::RemoveAll(work + "/runtimes");
  };
  std::printf("== install of that base package: %d runs each\n", runs);
  bench::PrintLoad();
  auto [x, i] = bench::Alternate(extract, install, runs, fresh);
  bench::PrintHeader();
  bench::PrintRow("tar -xJf", x);
  bench::PrintRow("zol-cli install (base)", i, &x);

  bench::ClearAppendOnly(work + "/audit/audit.log");
  return t.failures + z.failures + x.failures + i.failures == 0 ? 0 : 1;
}
