// The guarded extractor every package passes through before anything
// inside it is used: names and link targets are checked lexically, and every
// member is then created beneath the destination (util::Root), so links made
// by earlier members can never carry a later one outside. Its limits, and the
// member writer the foreign-package roads share with it.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "internal/pkgfmt/checksum.h"
#include "internal/util/error.h"
#include "internal/util/fd.h"

namespace pkgfmt {

// Largest regular member the extractor accepts (equal allowed).
inline constexpr int64_t kMaxExtractFileSize = 536870912;  // 512 MiB
// The extractor's refusal of a regular member `name` above that size, for
// writers that must not make a package it would refuse.
util::Error ErrMemberTooLarge(const std::string& name);
// Largest sum of regular members (and hard-link copies) per package.
inline constexpr int64_t kMaxExtractTotalSize = 4294967296;  // 4 GiB
// The extractor's refusal once the regular members of a package sum above
// kMaxExtractTotalSize.
util::Error ErrTotalTooLarge();

class TarReader;
struct TarMember;

// Writes the content of the current member `m` of `tar` into the file just
// opened for it as `file` (closed here whatever happens), straight from the
// reader's own buffer, then sets its mode to exactly `perm` through the
// descriptor; every extractor writes its regular members with it. A sparse
// member is written at its full size with its holes left as holes (seeked
// over, never written), so a small archive cannot fill a disk with zeros;
// its data must lie within its size. Failures: "copy file TARGET: %w" (with
// " (close: %s)" when the close failed too; "copy file TARGET: sparse data
// beyond the file's size"), "chmod TARGET: %w", "close file TARGET: %w".
util::Error WriteTarMemberFile(TarReader& tar, const TarMember& m, util::UniqueFd file, const std::string& target,
                               mode_t perm);

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

struct ExtractOptions {
  ExtractLimits limits;
  // Fed every byte of the package file as the extractor reads it, so a
  // digest of the file costs no second read. The bytes up to the end of the
  // file are all read only when the extraction succeeds.
  Sha256* hash = nullptr;
  // Every hard link to a regular file is written as a copy of its own, so
  // the tree holds independent files wherever it is moved afterwards.
  bool copy_hard_links = false;
};
util::Error ExtractTarGz(const std::string& package, const std::string& dest, const ExtractOptions& options);

}  // namespace pkgfmt
