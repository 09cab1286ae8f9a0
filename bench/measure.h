// What the benchmarks share: the wall time and peak memory of one child
// program, and the directory a benchmark works in.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <optional>
#include <string>

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
  // The largest of the child and the processes it waited for (tar's gzip).
  m.peak_kib = ru.ru_maxrss;
  m.status = status;
  return m;
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
