// The decoder layer: every compressed stream the system reads (gzip, xz,
// bzip2, zstd, or the bytes as they stand) is decoded here.
//
// Everything here but the file reader reads from memory the caller keeps
// alive for the reader's lifetime. A stream cut short is always an error ("unexpected EOF"), never a
// clean end, so a truncated package cannot pass for a smaller one.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace pkgfmt {

class Sha256;

// A source of decoded bytes, read front to back.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // Up to n bytes into buf; 0 only at the clean end of the stream.
  virtual util::Result<size_t> Read(char* buf, size_t n) = 0;
};

// Reads exactly n bytes. The end of the stream before the n-th byte gives
// "unexpected EOF"; `clean_end`, when given, is set instead (with ok) when the
// stream ends before the first byte.
util::Error ReadFull(ByteReader& r, char* buf, size_t n, bool* clean_end = nullptr);
// Reads and drops n bytes in bounded pieces; "unexpected EOF" when short.
util::Error Skip(ByteReader& r, uint64_t n);

enum class Codec { kGzip, kXz, kBzip2, kZstd, kNone };

// The codec chosen by the leading bytes: 1F 8B gzip, FD 37 7A 58 5A 00 xz,
// 42 5A 68 bzip2, 28 B5 2F FD zstd, in that order; anything else (data too
// short for a magic included) is uncompressed.
Codec SniffCodec(std::string_view data);

// gzip (members concatenated read as one stream). The first member's header is
// read and checked here, so a damaged header fails now.
util::Result<std::unique_ptr<ByteReader>> NewGzipReader(std::string_view data);
// gzip read from an open file (which stays the caller's) named `path`, with
// the package reader's texts: "unexpected end of file" for an empty file,
// "invalid gzip header", "unsupported gzip compression method", "gzip: %s"
// with zlib's own message for damaged data, "unexpected EOF" when cut, "read
// PATH: %s" when the file cannot be read. `hash`, when given, is fed every
// byte read; after a clean end that is the whole file, since anything after
// the last member is damage that fails the read.
util::Result<std::unique_ptr<ByteReader>> NewGzipFileReader(int fd, const std::string& path,
                                                             Sha256* hash = nullptr);
// xz; the stream header is read and checked here.
util::Result<std::unique_ptr<ByteReader>> NewXzReader(std::string_view data);
// bzip2; damage shows when reading.
std::unique_ptr<ByteReader> NewBzip2Reader(std::string_view data);
// zstd; fails only when the decoder cannot be allocated.
util::Result<std::unique_ptr<ByteReader>> NewZstdReader(std::string_view data);
// The bytes as they stand.
std::unique_ptr<ByteReader> NewPlainReader(std::string_view data);

}  // namespace pkgfmt
