#include "internal/util/transient.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "internal/util/files.h"

namespace util {
namespace {

std::atomic<int> sink{-1};

void Report(char op, const std::string& path) {
  int fd = sink.load();
  if (fd < 0) return;
  std::string rec(1, op);
  uint32_t n = static_cast<uint32_t>(path.size());
  rec.append(reinterpret_cast<const char*>(&n), sizeof n);
  rec += path;
  // A lost report only means a leftover after an interruption; the
  // operation itself goes on.
  WriteAll(fd, rec, "transient sink").IgnoreError();
}

}  // namespace

void SetTransientSink(int fd) { sink.store(fd); }
void TransientMade(const std::string& path) { Report('+', path); }
void TransientGone(const std::string& path) { Report('-', path); }

}  // namespace util
