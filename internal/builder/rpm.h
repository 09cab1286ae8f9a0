// Reader of RPM packages: lead, signature header, main header and the gzip
// cpio payload. No digest or signature of the package is checked.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "internal/util/error.h"

namespace builder {

struct RPMEntry {
  int32_t Tag = 0;
  int32_t Type = 0;  // 6 string, 8 string array (the only types decoded)
  int32_t Offset = 0;
  int32_t Count = 0;
};

struct RPMPackage {
  std::string Name;          // tag 1000
  std::string Version;       // 1001
  std::string Release;       // 1002
  std::string Architecture;  // 1022
  std::string Summary;       // 1004
  std::string Description;   // 1005
  std::vector<std::string> Files;  // 5001, else 1027
};

// The metadata of the RPM at `path`. Failures: "read rpm file: %w", "not an
// RPM file: invalid magic", "cannot find signature header in rpm", "cannot
// find header section in rpm". A missing main header leaves the fields empty.
// The file list, one string per entry of a header that may claim millions of
// empty names, is built only when asked for: no build reads it.
util::Result<RPMPackage> ParseRPMMeta(const std::string& path, bool with_files = true);

// Unpacks the payload of the RPM at `rpm_path` under `dest_dir` (see
// extractCpio for what is written). Failures: "read rpm: %w", "not an RPM
// file", "cannot find lead in rpm", "parse signature header: %w", "rpm header
// truncated", "rpm payload offset out of range", "xz/lzma compressed rpms not
// yet supported: use rpm2cpio | cpio -id", "gzip payload reader: %w",
// "payload reader (default gzip): %w", and the cpio walk's messages.
util::Error ExtractRPM(const std::string& rpm_path, const std::string& dest_dir);

// The main header at `offset` of `file`: its index entries (those lying wholly
// inside the file) and its data store (clipped to the file).
struct RPMHeader {
  std::vector<RPMEntry> entries;
  std::string_view store;
};
RPMHeader parseHeader(std::string_view file, uint64_t offset);

}  // namespace builder
