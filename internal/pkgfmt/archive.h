// The package archive: one gzip stream holding a ustar/PAX tar archive.
//
// CreateTarGz packs a directory tree with our own tar writer (tar_writer.h).
// ExtractTarGz is the guarded extractor every package passes through before
// anything inside it is used: names and link targets are checked lexically,
// and every member is then created beneath the destination (util::Root), so
// links made by earlier members can never carry a later one outside.
#pragma once

#include <cstdint>
#include <string>

#include "internal/util/error.h"

namespace pkgfmt {

// Largest regular member the extractor accepts (equal allowed).
inline constexpr int64_t kMaxExtractFileSize = 536870912;  // 512 MiB
// The extractor's refusal of a regular member `name` above that size, for
// writers that must not make a package it would refuse.
util::Error ErrMemberTooLarge(const std::string& name);
// Largest sum of regular members (and hard-link copies) per package.
inline constexpr int64_t kMaxExtractTotalSize = 4294967296;  // 4 GiB

// Creates or truncates `output` (0644 before the umask) and writes into it
// the package of every object under `source_dir`, at the default level.
util::Error CreateTarGz(const std::string& source_dir, const std::string& output);

// Unpacks the package at `package` below the existing directory `dest`,
// stopping at the first refused or failed member (what was written stays).
util::Error ExtractTarGz(const std::string& package, const std::string& dest);

// The extractor with other limits, so tests reach them without writing
// gigabytes; messages still show the real limits.
struct ExtractLimits {
  int64_t per_file = kMaxExtractFileSize;
  int64_t total = kMaxExtractTotalSize;
};
util::Error ExtractTarGzWithLimits(const std::string& package, const std::string& dest,
                                   const ExtractLimits& limits);

}  // namespace pkgfmt
