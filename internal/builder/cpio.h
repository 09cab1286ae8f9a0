// Walker of "newc" cpio archives, the payload layout of RPM packages.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "internal/pkgfmt/decoder.h"
#include "internal/util/error.h"

namespace builder {

// Largest name size (terminating NUL included) accepted in a member header.
inline constexpr uint32_t kCpioNameLimit = 8192;

// One member header, as far as the writer uses it.
struct cpioEntry {
  std::string Name;  // trailing NUL bytes removed
  int64_t Size = 0;
  uint32_t Mode = 0;   // file type and permission bits
  uint32_t Inode = 0;
  uint32_t Links = 0;  // link count
  uint32_t DevMajor = 0;
  uint32_t DevMinor = 0;
};

// Unpacks the archive read from `in` under `dest`, which is created when
// missing. Regular files keep the 0777 part of their mode, directories are
// created 0755, symbolic links are made as links, size-0 files are created,
// and every name of a hard-link set gets the data; devices, FIFOs and sockets
// are skipped. Nothing is written outside dest: a member whose path leaves it,
// lexically or through a link already there, fails with "path traversal
// detected: %s" naming the member, and a name holding a NUL byte fails with
// "invalid cpio name %q: NUL byte inside". The walk ends at "TRAILER!!!" or
// at a clean end of the stream between members.
util::Error extractCpio(pkgfmt::ByteReader& in, const std::string& dest);

// A header number: 8 hexadecimal digits ("" is 0). Failure: "parse hex %q: %w"
// around "invalid hex char: %c".
util::Result<uint32_t> hexDecode(std::string_view field);

}  // namespace builder
