// What the benchmarks share: the wall time and peak memory of one child
// program, series of runs with their median, the table they print, and the
// directory a benchmark works in.
#pragma once

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/process.h"
#include "internal/util/tempdir.h"

namespace bench {

struct Measure {
  double seconds = 0;
  long peak_kib = 0;
  int status = -1;
};

inline Measure Run(const util::Command& cmd) {
  Measure m;
  auto start = std::chrono::steady_clock::now();
  auto pid = util::StartProcess(cmd);
  if (!pid.ok()) {
    std::fprintf(stderr, "%s\n", pid.error().message().c_str());
    return m;
  }
  int status = 0;
  struct rusage ru = {};
  while (::wait4(*pid, &status, 0, &ru) < 0 && errno == EINTR) {
  }
  m.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  // The largest of the child and the processes it waited for (tar's gzip):
  // for a pipeline, its largest member, not their sum.
  m.peak_kib = ru.ru_maxrss;
  m.status = status;
  return m;
}

// Several runs of one command: wall times of the successful ones and the
// largest peak seen.
struct Series {
  std::vector<double> seconds;
  long peak_kib = 0;
  int failures = 0;

  double Median() const {
    if (seconds.empty()) return 0;
    std::vector<double> s = seconds;
    std::sort(s.begin(), s.end());
    size_t n = s.size();
    return n % 2 == 1 ? s[n / 2] : (s[n / 2 - 1] + s[n / 2]) / 2;
  }
  double Min() const { return seconds.empty() ? 0 : *std::min_element(seconds.begin(), seconds.end()); }
};

// `before` runs untimed ahead of every run (clearing a destination, say).
inline Series Repeat(const util::Command& cmd, int runs, const std::function<void()>& before = nullptr) {
  Series s;
  for (int i = 0; i < runs; ++i) {
    if (before) before();
    Measure m = Run(cmd);
    if (m.status != 0) {
      if (s.failures++ == 0) std::fprintf(stderr, "%s: wait status %d\n", cmd.path.c_str(), m.status);
      continue;
    }
    s.seconds.push_back(m.seconds);
    s.peak_kib = std::max(s.peak_kib, m.peak_kib);
  }
  return s;
}

// Runs of two commands taken in turn, so both see the same load.
inline std::pair<Series, Series> Alternate(const util::Command& a, const util::Command& b, int runs,
                                           const std::function<void()>& before = nullptr) {
  std::pair<Series, Series> out;
  for (int i = 0; i < runs; ++i) {
    for (int which = 0; which < 2; ++which) {
      Series one = Repeat(which == 0 ? a : b, 1, before);
      Series& into = which == 0 ? out.first : out.second;
      into.seconds.insert(into.seconds.end(), one.seconds.begin(), one.seconds.end());
      into.peak_kib = std::max(into.peak_kib, one.peak_kib);
      into.failures += one.failures;
    }
  }
  return out;
}

inline void PrintHeader() {
  std::printf("  %-34s %12s %12s %12s %9s\n", "", "median (ms)", "fastest (ms)", "peak (KiB)", "ratio");
}

// One row; the ratio is of medians, to `ref` when given.
inline void PrintRow(const std::string& label, const Series& s, const Series* ref = nullptr) {
  std::printf("  %-34s %12.1f %12.1f %12ld", label.c_str(), s.Median() * 1000, s.Min() * 1000, s.peak_kib);
  if (ref != nullptr && ref->Median() > 0) {
    std::printf(" %8.2fx", s.Median() / ref->Median());
  } else {
    std::printf(" %9s", "");
  }
  if (s.failures > 0) std::printf("  (%d failed)", s.failures);
  std::printf("\n");
}

// The load the figures were taken under: the machine may be shared.
inline void PrintLoad() {
  std::ifstream f("/proc/loadavg");
  std::string a, b, c;
  f >> a >> b >> c;
  std::printf("  load average: %s %s %s on %ld cores\n", a.c_str(), b.c_str(), c.c_str(), ::sysconf(_SC_NPROCESSORS_ONLN));
}

// Runs per series: BENCH_RUNS, else `dflt`.
inline int Runs(int dflt) {
  const char* v = std::getenv("BENCH_RUNS");
  int n = v != nullptr ? std::atoi(v) : 0;
  return n > 0 ? n : dflt;
}

// Every zol-cli path under `work`, as the tests set them.
inline std::vector<std::string> ZolEnv(const std::string& work) {
  return {"PATH=/usr/sbin:/usr/bin:/sbin:/bin",
          "TMPDIR=" + work + "/tmp",
          "HOME=" + work,
          "DRAV_LOG_DIR=" + work + "/log",
          "DRAV_AUDIT_DIR=" + work + "/audit",
          "DRAV_APP_DIR=" + work + "/apps",
          "DRAV_RUNTIME_DIR=" + work + "/runtimes",
          "DRAV_DB_FILE=" + work + "/db/installed.json",
          "DRAV_METRICS_PATH=" + work + "/metrics.prom"};
}

// zol-cli marks its audit file append-only; the flag must go before the
// work directory can be removed.
inline void ClearAppendOnly(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return;
  int flags = 0;
  if (::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL)) {
    flags &= ~FS_APPEND_FL;
    ::ioctl(fd, FS_IOC_SETFLAGS, &flags);
  }
  ::close(fd);
}

// zol-cli with `args` under `env`, its output discarded.
inline util::Command Zol(const std::string& zol, std::vector<std::string> args, const std::vector<std::string>& env) {
  util::Command c;
  c.path = zol;
  c.args = std::move(args);
  c.env = env;
  c.stdin_mode = util::Stdio::kNull;
  c.stdout_mode = c.stderr_mode = util::Stdio::kNull;
  return c;
}

// A shell command line, for pipelines and "&&" chains of the peers.
inline util::Command Shell(const std::string& line) {
  util::Command c;
  c.path = "/bin/sh";
  c.args = {"-c", line};
  c.stdin_mode = util::Stdio::kNull;
  c.stdout_mode = util::Stdio::kNull;
  return c;
}

// The directory given (made if missing, kept afterwards), or with an empty
// argument a new temporary one, owned by `owned` and removed with it. ""
// when none could be made.
inline std::string WorkDir(const char* given, std::optional<util::TempDir>* owned) {
  if (given != nullptr && given[0] != '\0') {
    std::string work = util::AbsPath(given);
    (void)util::MkdirAll(work, 0755);
    return work;
  }
  auto t = util::TempDir::Make("zol-bench-");
  if (!t.ok()) {
    std::fprintf(stderr, "%s\n", t.error().message().c_str());
    return "";
  }
  std::string work = t->path();
  owned->emplace(std::move(*t));
  return work;
}

}  // namespace bench
