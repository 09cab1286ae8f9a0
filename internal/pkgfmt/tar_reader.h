// Reading a package stream member by member, with the extractor's rules:
// our own inflate (so anything not gzip fails before the tar reader sees a
// byte; concatenated gzip members read as one stream), libarchive's tar
// format reader with no filters, and the raw header checked for what that
// reader would hide (the real type byte, a NUL inside a long name).
//
// For readers that look at a package without unpacking it; ExtractTarGz is
// built on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "internal/util/error.h"

namespace pkgfmt {

struct TarMember {
  std::string name;      // as stored (PAX and long-name records applied)
  char type = '0';       // the main header's type byte, '\0' for the legacy type
  int64_t size = 0;      // content size as recorded
  std::string linkname;  // hard or symbolic link target as stored
  uint32_t mode = 0;     // permission bits with setuid/setgid/sticky
};

class TarReader {
 public:
  // Errors: "open source: %w", "gzip reader: %w".
  static util::Result<std::unique_ptr<TarReader>> Open(const std::string& package);
  ~TarReader();

  // The next member's header (the rest of the current one is skipped);
  // false at the end of the archive. Errors: "tar next: %w".
  util::Result<bool> Next(TarMember* member);
  // Up to n bytes of the current member's content; 0 at its end. The error
  // is the reason alone, for the caller to put in context.
  util::Result<size_t> Read(char* buf, size_t n);
  // After Next returned false: reads the gzip stream to its end, so a cut
  // or damaged trailer is found ("tar next: %w").
  util::Error CheckTrailer();
  // Closes the package file ("close source: %w").
  util::Error Close();

 private:
  struct Impl;
  explicit TarReader(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace pkgfmt
