// The layers of output the tar writer writes through: each passes bytes to
// the one below it (gzip_sink.h adds the deflating layer).
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "internal/pkgfmt/checksum.h"
#include "internal/util/error.h"

namespace pkgfmt {

// A layer of output. Close() finishes this layer (a gzip trailer, say) but
// does not close the layer below, whose owner closes it afterwards. After a
// failure a sink refuses further writes with the same error.
class Sink {
 public:
  virtual ~Sink() = default;
  virtual util::Error Write(const void* data, size_t n) = 0;
  virtual util::Error Close() { return util::Error(); }
};

// Writes to a descriptor it does not own; `name` appears in its errors.
class FdSink : public Sink {
 public:
  FdSink(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
  util::Error Write(const void* data, size_t n) override;

 private:
  int fd_;
  std::string name_;
  util::Error failed_;
};

// Collects everything in memory (tests, small archives).
class MemorySink : public Sink {
 public:
  util::Error Write(const void* data, size_t n) override {
    data_.append(static_cast<const char*>(data), n);
    return util::Error();
  }
  const std::string& data() const { return data_; }

 private:
  std::string data_;
};

// Passes bytes on to `below` while taking their SHA-256.
class HashingSink : public Sink {
 public:
  static util::Result<std::unique_ptr<HashingSink>> Make(Sink* below);
  util::Error Write(const void* data, size_t n) override;
  // 64 lower-case hex digits of everything written so far; ends the hashing.
  util::Result<std::string> HexDigest();

 private:
  HashingSink(Sink* below, Sha256 hash) : below_(below), hash_(std::move(hash)) {}
  Sink* below_;
  Sha256 hash_;
  bool taken_ = false;
};

}  // namespace pkgfmt
