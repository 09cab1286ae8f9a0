// The tar entry reader for the archives inside foreign packages, over the
// decoder layer (pkgfmt/decoder.h).
//
// Everything here reads from memory the caller keeps alive for the reader's
// lifetime. A stream cut short is always an error ("unexpected EOF"), never a
// clean end, so a truncated package cannot pass for a smaller one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "internal/pkgfmt/decoder.h"
#include "internal/util/error.h"

namespace builder {

// One entry of a tar archive, as recorded.
struct TarEntry {
  enum class Type { kRegular, kDirectory, kSymlink, kHardLink, kOther };
  std::string name;
  Type type = Type::kOther;
  // Symbolic-link text, or the name a hard link refers to.
  std::string link;
  uint32_t mode = 0;  // permission and special bits, no file type
  int64_t size = 0;
};

// Reads the entries of a tar archive (ustar, PAX and GNU dialects; long names
// included) from a decoded stream. Read() returns the current entry's data.
class TarReader : public pkgfmt::ByteReader {
 public:
  ~TarReader() override;
  TarReader(const TarReader&) = delete;
  TarReader& operator=(const TarReader&) = delete;

  // The next entry's header: false at the end of the archive.
  util::Result<bool> Next(TarEntry* entry);
  util::Result<size_t> Read(char* buf, size_t n) override;

  // A reader over an already decoded stream.
  static util::Result<std::unique_ptr<TarReader>> Open(std::unique_ptr<pkgfmt::ByteReader> stream);

 private:
  struct Impl;
  explicit TarReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

// Opens a possibly compressed tar stream held in memory, the decoder chosen by
// SniffCodec. Failures: "gzip reader: %w", "xz reader: %w", "zstd reader: %w";
// a bzip2 or plain stream fails only when entries are read. Destroying the
// reader releases the decoder.
util::Result<std::unique_ptr<TarReader>> newTarReader(std::string_view data);

}  // namespace builder
