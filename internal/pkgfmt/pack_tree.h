// Packing a directory tree into tar members, and into a package: one gzip
// stream holding a ustar/PAX tar archive, written with our own tar writer
// (tar_writer.h).
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "internal/pkgfmt/tar_writer.h"
#include "internal/util/error.h"

namespace pkgfmt {
// How a tree becomes members, for every writer of packages (sign, the
// application and base builds).
struct PackOptions {
  // Sees every member's header before it is written; an error ends packing
  // and is returned as it is.
  std::function<util::Error(const TarHeader&)> check;
  // A source given as a link to a directory is packed as that directory
  // (its failure then reads "stat PATH"); otherwise such a source has no
  // members.
  bool follow_source_link = false;
  // The caller's context for a failed step on a regular member's content,
  // put in front of the system's error: `step` is "open", "copy" (to the
  // tar) or "close", `path` the file's path. Unset or empty, the system's
  // error is returned alone.
  std::function<std::string(std::string_view step, const std::string& path)> content_context;
};

// Writes a member for every object below `source_dir` into `tar`: each
// directory before its contents, the names of one directory in byte order,
// links never followed below the source. Failures: "lstat PATH", "open
// PATH", "readdirent PATH", "readlink PATH: %w", "tar header PATH: %w",
// "write tar header: %w", the content failures as worded above, or the
// check's error.
util::Error PackTree(const std::string& source_dir, TarWriter* tar, const PackOptions& options = {});

// Creates or truncates `output` (0644 before the umask) and writes into it
// the package of every object under `source_dir`, at the default level. A
// member's content failure reads "open PATH: %w", "copy PATH to tar: %w" or
// "close PATH: %w".
util::Error CreateTarGz(const std::string& source_dir, const std::string& output);

}  // namespace pkgfmt
