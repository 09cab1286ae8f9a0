// Our own tar writer: ustar headers, PAX records only where ustar cannot hold
// a field, over a chain of byte sinks (gzip, hashing tee, file, memory).
//
// Library writers append "/" to directory names and record fractional times;
// package members must have neither, and the archive must end at its two
// zero blocks with no record padding, so the bytes are written here.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

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

// Passes bytes on to `below` while taking their SHA-256.
class HashingSink : public Sink {
 public:
  static util::Result<std::unique_ptr<HashingSink>> Make(Sink* below);
  ~HashingSink() override;
  util::Error Write(const void* data, size_t n) override;
  // 64 lower-case hex digits of everything written so far; ends the hashing.
  util::Result<std::string> HexDigest();

 private:
  explicit HashingSink(Sink* below) : below_(below) {}
  Sink* below_;
  void* ctx_ = nullptr;  // EVP_MD_CTX, kept out of this header
};

// Tar type flags.
inline constexpr char kTypeReg = '0';
inline constexpr char kTypeHardLink = '1';
inline constexpr char kTypeSymlink = '2';
inline constexpr char kTypeChar = '3';
inline constexpr char kTypeBlock = '4';
inline constexpr char kTypeDir = '5';
inline constexpr char kTypeFifo = '6';

struct TarHeader {
  std::string name;  // as stored: relative, no "./", no trailing "/"
  char type = kTypeReg;
  uint32_t mode = 0;  // permission bits plus 04000/02000/01000
  int64_t uid = 0;
  int64_t gid = 0;
  std::string uname;
  std::string gname;
  int64_t mtime = 0;  // whole seconds
  int64_t size = 0;   // regular files only
  std::string linkname;
  uint32_t devmajor = 0;
  uint32_t devminor = 0;
};

// The header for an object from its lstat: type from the object itself,
// owner names looked up (empty when unknown), mtime rounded to the nearest
// second. A socket (or other unrecordable type) is an error naming why.
util::Result<TarHeader> HeaderFromStat(const struct stat& st, std::string name,
                                       std::string linkname);

class TarWriter {
 public:
  explicit TarWriter(Sink* out) : out_(out) {}

  // Starts a member; the previous one must have received exactly its size.
  util::Error WriteHeader(const TarHeader& h);
  // Content of the current regular member; more than its size is an error.
  util::Error WriteData(const void* data, size_t n);
  // Completes the current member and writes the two zero blocks; nothing
  // follows them. Does not close the sink.
  util::Error Close();

 private:
  util::Error Fail(util::Error e);
  util::Error FinishEntry();
  Sink* out_;
  int64_t remaining_ = 0;
  int64_t written_in_entry_ = 0;
  bool closed_ = false;
  util::Error failed_;
};

}  // namespace pkgfmt
