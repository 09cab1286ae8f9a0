// Wall time and peak memory of "zol-cli build --from-deb" on a large real
// Debian package beside "dpkg-deb -x" followed by "tar -czf" of the unpacked
// tree, one run each.
//
//   deb_build_bench [ZOL_BIN] [DEB] [WORK_DIR]
//
// Without DEB, libllvm15 (about 22 MiB packed, 110 MiB unpacked) is fetched
// with "apt-get download" into /var/cache/zol-test-debs and reused from
// there. Needs root (build does). WORK_DIR (default: a new directory under
// TMPDIR) is removed afterwards unless it was given.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "bench/measure.h"
#include "internal/util/process.h"
#include "internal/util/tempdir.h"

namespace {

constexpr const char* kCache = "/var/cache/zol-test-debs";
constexpr const char* kDefaultPackage = "libllvm15";

using bench::Measure;
using bench::Run;

// The cached package, fetched on first use.
std::string FetchDefault() {
  util::Command sh;
  sh.path = "/bin/sh";
  sh.args = {"-c", std::string("set -e; mkdir -p ") + kCache + "; cd " + kCache + "; ls " + kDefaultPackage +
                       "_*.deb >/dev/null 2>&1 || apt-get download -q " + kDefaultPackage +
                       " >/dev/null; ls \"$PWD\"/" + kDefaultPackage + "_*.deb | head -n1"};
  sh.stdin_mode = util::Stdio::kNull;
  auto out = util::RunProcessOutput(sh);
  if (!out.ok() || out->empty()) return "";
  return out->substr(0, out->find('\n'));
}

long FileSize(const std::string& path) {
  struct stat st = {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string zol = argc > 1 ? argv[1] : (std::getenv("ZOL_BIN") ? std::getenv("ZOL_BIN") : "./build/zol-cli");
  std::string deb = argc > 2 && argv[2][0] != '\0' ? util::AbsPath(argv[2]) : FetchDefault();
  if (deb.empty()) {
    std::fprintf(stderr, "no package: give one, or let apt-get download %s\n", kDefaultPackage);
    return 1;
  }
  std::optional<util::TempDir> owned;
  std::string work = bench::WorkDir(argc > 3 ? argv[3] : nullptr, &owned);
  if (work.empty()) return 1;
  std::printf("package: %s (%.1f MiB)\n", deb.c_str(), FileSize(deb) / 1048576.0);

  const std::string tmp = work + "/tmp";
  (void)util::MkdirAll(tmp, 0700);
  const std::vector<std::string> env = bench::ZolEnv(work);
  auto command = [&](std::string path, std::vector<std::string> args) {
    util::Command c;
    c.path = std::move(path);
    c.args = std::move(args);
    c.env = env;
    c.stdin_mode = util::Stdio::kNull;
    c.stdout_mode = util::Stdio::kNull;
    return c;
  };

  // Page the package in once so neither contender pays for the first read.
  (void)Run(command("cat", {deb}));

  const std::string dist = work + "/dist";
  Measure zm = Run(command(zol, {"build", "--from-deb", deb, "--output", dist}));
  const std::string unpacked = work + "/unpacked";
  (void)util::RemoveAll(unpacked);
  Measure xm = Run(command("dpkg-deb", {"-x", deb, unpacked}));
  Measure tm = Run(command("tar", {"-czf", work + "/tree.tar.gz", "-C", unpacked, "."}));

  long zol_size = 0;
  util::Command ls = command("/bin/sh", {"-c", "ls " + dist + "/*.zol"});
  ls.stdout_mode = util::Stdio::kInherit;
  if (auto out = util::RunProcessOutput(ls); out.ok() && !out->empty()) zol_size = FileSize(out->substr(0, out->find('\n')));
  const long tar_size = FileSize(work + "/tree.tar.gz");

  std::printf("%-34s %10s %15s %12s %8s\n", "", "wall (s)", "peak RSS (KiB)", "output (MiB)", "status");
  std::printf("%-34s %10.2f %15ld %12.1f %8d\n", "zol-cli build --from-deb", zm.seconds, zm.peak_kib,
              zol_size / 1048576.0, zm.status);
  std::printf("%-34s %10.2f %15ld %12s %8d\n", "  dpkg-deb -x", xm.seconds, xm.peak_kib, "", xm.status);
  std::printf("%-34s %10.2f %15ld %12.1f %8d\n", "  tar -czf", tm.seconds, tm.peak_kib, tar_size / 1048576.0,
              tm.status);
  std::printf("%-34s %10.2f %15ld %12.1f %8d\n", "dpkg-deb -x + tar -czf", xm.seconds + tm.seconds,
              std::max(xm.peak_kib, tm.peak_kib), tar_size / 1048576.0, xm.status | tm.status);
  bench::ClearAppendOnly(work + "/audit/audit.log");
  return zm.status == 0 && xm.status == 0 && tm.status == 0 ? 0 : 1;
}
