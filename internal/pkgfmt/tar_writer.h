// Our own tar writer: ustar headers, PAX records only where ustar cannot hold
// a field, over a chain of byte sinks (sinks.h, gzip_sink.h).
//
// Library writers append "/" to directory names and record fractional times;
// package members must have neither, and the archive must end at its two
// zero blocks with no record padding, so the bytes are written here.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "internal/pkgfmt/sinks.h"
#include "internal/util/error.h"

namespace pkgfmt {

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
