// Reading a tar archive member by member from a decoded stream
// (decoder.h): libarchive's tar format reader with no filters, so decoding
// stays ours and every stream is recognised by its leading bytes alone.
//
// Two ways in: a package file (our own inflate, so anything not gzip fails
// before the tar reader sees a byte, and the raw headers checked for what
// libarchive would hide: the real type byte, a NUL inside a long name), and
// an archive held in memory in any codec, as foreign packages carry them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "internal/pkgfmt/decoder.h"
#include "internal/util/error.h"

namespace pkgfmt {

class Sha256;

struct TarMember {
  enum class Kind { kRegular, kDirectory, kSymlink, kHardLink, kOther };
  std::string name;      // as stored (PAX and long-name records applied)
  // The main header's type byte, '\0' for the legacy type; read only with
  // `TarReadOptions::raw_headers`, 0 otherwise.
  char type = '0';
  Kind kind = Kind::kOther;  // as libarchive reads it
  int64_t size = 0;          // content size as recorded
  std::string linkname;      // hard or symbolic link target as stored
  uint32_t mode = 0;         // permission bits with setuid/setgid/sticky
  // A sparse file (GNU 'S' or PAX GNU.sparse records): `size` is its full
  // size, and its content is read with ReadBlock, holes left out.
  bool sparse = false;
};

struct TarReadOptions {
  // Each member's raw header blocks are kept and read: `type` is the stored
  // byte (libarchive maps unknown types to regular files), a NUL inside a
  // PAX or GNU long name or link target fails ("invalid tar header: ..."),
  // and a header above 64 MiB fails ("tar header too large").
  bool raw_headers = false;
  // A stream with no bytes at all is an empty archive; otherwise it is no
  // archive ("Unrecognized archive format").
  bool empty_stream_ok = false;
  // Next() at the end of the archive also reads the rest of the stream, so a
  // cut or damaged tail fails there; otherwise CheckTrailer() does that.
  bool drain_at_end = false;
};

class TarReader : public ByteReader {
 public:
  ~TarReader() override;
  TarReader(const TarReader&) = delete;
  TarReader& operator=(const TarReader&) = delete;

  // A reader over a decoded stream. Failures of the stream surface in
  // Next() or Read() with the stream's own error.
  static util::Result<std::unique_ptr<TarReader>> Open(std::unique_ptr<ByteReader> stream,
                                                       const TarReadOptions& options);

  // The package file at `package`, with the raw header checks. `hash`, when
  // given, sees every byte of the file as it is read (all of them once
  // CheckTrailer succeeded). Errors: "open source: %w", "gzip reader: %w".
  static util::Result<std::unique_ptr<TarReader>> OpenPackage(const std::string& package, Sha256* hash = nullptr);

  // The next member's header (the rest of the current one is skipped);
  // false at the end of the archive. Errors are the reason alone, for the
  // caller to put in context.
  util::Result<bool> Next(TarMember* member);
  // Up to n bytes of the current member's content; 0 at its end. A sparse
  // member reads with its holes as zeros and without a hole at its end.
  util::Result<size_t> Read(char* buf, size_t n) override;
  // The next stretch of the current member's data and where in the file it
  // goes, holes left out; false at the end of the member.
  struct Block {
    const char* data = nullptr;
    size_t size = 0;
    int64_t offset = 0;
  };
  util::Result<bool> ReadBlock(Block* block);
  // After Next returned false: reads the stream to its end, so a cut or
  // damaged trailer is found.
  util::Error CheckTrailer();
  // Closes the package file of OpenPackage ("close source: %w").
  util::Error Close();

 private:
  struct Impl;
  explicit TarReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Opens a possibly compressed tar archive held in memory, the decoder chosen
// by SniffCodec, an empty stream an empty archive, and the whole stream read
// when the archive ends. Failures: "gzip reader: %w", "xz reader: %w", "zstd
// reader: %w"; a bzip2 or plain stream fails only when members are read.
util::Result<std::unique_ptr<TarReader>> OpenTarInMemory(std::string_view data);

}  // namespace pkgfmt
