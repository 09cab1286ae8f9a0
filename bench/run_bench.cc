// Wall time of a sandboxed run of /bin/true through "zol-cli run" beside
// bwrap making the same mounts over the same root filesystem: the base root
// as "/", the application files at /app, proc, read-only sysfs, a minimal
// /dev with its own devpts, a tmpfs on /tmp, the host's name-service files
// read-only and /home. Both are measured in one run of this program, taken
// in turn, with "zol-cli version" (the start-up every command pays) and
// /bin/true itself as floors.
//
//   run_bench [ZOL_BIN] [RUNS]
//
// Needs root, bwrap and busybox-static. Prints the median, the fastest run
// and the peak memory of each.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "internal/util/command_policy.h"
#include "internal/util/files.h"
#include "internal/util/process.h"
#include "internal/util/tempdir.h"

namespace {

bool WriteText(const std::string& path, const std::string& text) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  return ::close(fd) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  std::string zol = argc > 1 ? argv[1] : "zol-cli";
  int runs = argc > 2 ? std::atoi(argv[2]) : bench::Runs(20);
  if (runs <= 0) runs = 20;
  auto bwrap = util::LookPath("bwrap");
  if (!bwrap.ok()) {
    std::fprintf(stderr, "bwrap not found (Debian package bubblewrap)\n");
    return 1;
  }
  auto work = util::TempDir::Make("zol-run-bench-");
  if (!work.ok()) {
    std::fprintf(stderr, "%s\n", work.error().message().c_str());
    return 1;
  }
  const std::string w = work->path();
  const std::string rootfs = w + "/runtimes/bench-x86_64/rootfs";
  const std::string install = w + "/apps/com.calderim.bench/1.0";

  for (const char* d : {"/bin", "/etc", "/tmp", "/proc", "/sys", "/dev", "/app", "/home"}) {
    if (!util::EnsureDir(rootfs + d).ok()) return 1;
  }
  if (!util::EnsureDir(install + "/files").ok() || !util::EnsureDir(w + "/db").ok()) return 1;
  if (!util::CopyFile("/bin/busybox", rootfs + "/bin/busybox").ok() ||
      ::chmod((rootfs + "/bin/busybox").c_str(), 0755) != 0 ||
      ::symlink("busybox", (rootfs + "/bin/true").c_str()) != 0) {
    std::fprintf(stderr, "copy busybox: is busybox-static installed?\n");
    return 1;
  }
  WriteText(rootfs + "/etc/passwd", "root:x:0:0:root:/root:/bin/sh\n");
  WriteText(rootfs + "/etc/group", "root:x:0:\n");
  WriteText(rootfs + "/etc/hosts", "127.0.0.1 localhost\n");
  WriteText(rootfs + "/etc/resolv.conf", "");
  WriteText(install + "/manifest.json",
            "{\"id\":\"com.calderim.bench\",\"name\":\"bench\",\"version\":\"1.0\",\"arch\":\"x86_64\","
            "\"base\":\"bench\",\"kind\":\"cli\",\"entry\":{\"command\":\"/bin/true\",\"args\":[]},"
            "\"runtime\":{\"env\":{\"PATH\":\"/app/bin:/usr/bin:/bin\"}}}");
  WriteText(w + "/db/installed.json",
            "[{\"id\":\"com.calderim.bench\",\"name\":\"bench\",\"version\":\"1.0\",\"arch\":\"x86_64\","
            "\"base\":\"bench\",\"kind\":\"cli\",\"install_path\":\"" +
                install + "\",\"status\":\"installed\",\"installed_at\":\"2026-01-01T00:00:00Z\"}]");

  util::Command zol_cmd;
  zol_cmd.path = zol;
  zol_cmd.args = {"run", "com.calderim.bench"};
  zol_cmd.env = std::vector<std::string>{
      "PATH=/usr/sbin:/usr/bin:/sbin:/bin", "DRAV_APP_DIR=" + w + "/apps", "DRAV_RUNTIME_DIR=" + w + "/runtimes",
      "DRAV_DB_FILE=" + w + "/db/installed.json", "DRAV_LOG_DIR=" + w + "/log",
      "DRAV_AUDIT_DIR=" + w + "/audit", "DRAV_METRICS_PATH=" + w + "/metrics.prom"};

  util::Command bwrap_cmd;
  bwrap_cmd.path = *bwrap;
  bwrap_cmd.args = {"--bind", rootfs, "/", "--bind", install + "/files", "/app", "--proc", "/proc",
                    "--ro-bind", "/sys", "/sys", "--dev", "/dev", "--tmpfs", "/tmp"};
  for (const char* f : {"/etc/hosts", "/etc/resolv.conf", "/etc/passwd", "/etc/group"}) {
    if (util::Exists(f)) bwrap_cmd.args.insert(bwrap_cmd.args.end(), {"--ro-bind", f, f});
  }
  if (util::Exists("/home")) bwrap_cmd.args.insert(bwrap_cmd.args.end(), {"--bind", "/home", "/home"});
  bwrap_cmd.args.insert(bwrap_cmd.args.end(), {"--chdir", "/", "--new-session", "--", "/bin/true"});

  util::Command version = zol_cmd;
  version.args = {"version"};
  version.stdout_mode = util::Stdio::kNull;
  util::Command true_cmd;
  true_cmd.path = "/bin/true";

  // One untimed run of each warms the page cache for both.
  bench::Repeat(zol_cmd, 1);
  bench::Repeat(bwrap_cmd, 1);
  std::printf("== sandboxed /bin/true over a busybox root: %d runs each\n", runs);
  bench::PrintLoad();
  auto [b, z] = bench::Alternate(bwrap_cmd, zol_cmd, runs);
  auto [t, v] = bench::Alternate(true_cmd, version, runs);
  bench::PrintHeader();
  bench::PrintRow("bwrap", b);
  bench::PrintRow("zol-cli run", z, &b);
  bench::PrintRow("zol-cli version", v, &b);
  bench::PrintRow("/bin/true", t, &b);

  // The audit file got the append-only mark; lift it so the tree can go.
  bench::ClearAppendOnly(w + "/audit/audit.log");
  return z.failures == 0 && b.failures == 0 && v.failures == 0 ? 0 : 1;
}
