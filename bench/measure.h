// Wall time and peak memory of one child program, for the benchmarks.
#pragma once

#include <sys/resource.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>
#include <cstdio>

#include "internal/util/process.h"

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

}  // namespace bench
