// The builder's package writers. Both write under a temporary name in the
// package's directory and rename it into place only when the archive is
// complete, so a failed rebuild keeps the previous package and no partial
// package is ever seen under the real name.
#pragma once

#include <string>

#include "internal/util/error.h"

namespace builder {

// An application package of every object below src_dir at the default gzip
// level. Every member is first held to the extractor's rules (no ".." in a
// name, no absolute or escaping symbolic link), so a build never writes a
// package that install would refuse. `digest` receives the SHA-256 text of
// the file written. Errors: "create output file: %w", "readlink %s: %w",
// "tar header %s: %w", "write tar header: %w", "open file %s: %w",
// "copy file to tar: %w", "close file %s: %w", "close tar writer: %w",
// "close gzip writer: %w", "close output file: %w", a walk error unchanged.
// `threads` deflate in parallel (0: one per core); the bytes are the same
// for every number.
util::Error createZOLArchive(const std::string& src_dir, const std::string& out_path, std::string* digest,
                             int threads = 0);

// A base-layer package at the fastest gzip level: "create output: %w",
// "create gzip writer: %w", and the walk's failures.
util::Error pkgfmtCreateTarGz(const std::string& src_dir, const std::string& out_path);

// The extractor's refusal of a member named `name` (relative, as stored) of
// type `type` (a tar type flag) with link text `linkname`; ok when it would
// be extracted.
util::Error CheckMember(const std::string& name, char type, const std::string& linkname);

}  // namespace builder
