// SHA-256 digests of files and bytes, written as digest text: 64 lower-case
// hexadecimal digits. Files are streamed through a fixed buffer, never read
// whole, so a multi-gigabyte package costs no more memory than a small one.
#pragma once

#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace pkgfmt {

// Digest text of the file's content. Errors: "open file: %w", "hash file: %w".
util::Result<std::string> ComputeFileChecksum(const std::string& path);

// Compares the file's digest text with `expected`, byte for byte (letter case
// included). An empty `expected` succeeds without opening the file. Error:
// "checksum mismatch for %s: expected %s, got %s".
util::Error VerifyFileChecksum(const std::string& path, std::string_view expected);

// The same digest with the wording the signature code uses: "open: %w",
// "hash: %w".
util::Result<std::string> computeFileChecksumHex(const std::string& path);

// Digest text of bytes in memory; it cannot fail.
std::string computeBytesChecksum(std::string_view data);

// The checksum sidecar's path for a package: package path + ".sha256".
inline std::string ChecksumSidecarPath(const std::string& package_path) { return package_path + ".sha256"; }

}  // namespace pkgfmt
