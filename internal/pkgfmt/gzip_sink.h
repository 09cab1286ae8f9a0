// The deflating layer of output.
#pragma once

#include <memory>

#include "internal/pkgfmt/sinks.h"
#include "internal/util/error.h"

namespace pkgfmt {

// A gzip member over `below`: header with no name, no time, no extra fields.
//
// The input is cut into fixed blocks that are deflated on up to `threads`
// cores, each primed with the 32 KiB of input before it, and joined into one
// member (the blocks' CRCs combined), so the bytes depend only on the input
// and the level, never on the number of threads. Only the calling thread
// writes to `below`. At most a few blocks per thread are held at once.
class GzipSink : public Sink {
 public:
  // level: zlib level, Z_DEFAULT_COMPRESSION (-1) or 1 (fastest) here.
  // threads: 0 for one per core this process may run on.
  static util::Result<std::unique_ptr<GzipSink>> Make(Sink* below, int level, int threads = 0);
  ~GzipSink() override;
  util::Error Write(const void* data, size_t n) override;
  // Deflates what is left, waits for every block and writes the CRC-32 and
  // size trailer.
  util::Error Close() override;

 private:
  struct State;
  explicit GzipSink(Sink* below);
  util::Error Submit(bool last);
  util::Error Drain(bool wait_all);
  Sink* below_;
  std::unique_ptr<State> state_;
  util::Error failed_;
  bool closed_ = false;
};

}  // namespace pkgfmt
