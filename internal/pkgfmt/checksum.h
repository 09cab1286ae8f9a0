// SHA-256 digests of files and bytes, written as digest text: 64 lower-case
// hexadecimal digits. Files are streamed through a fixed buffer, never read
// whole, so a multi-gigabyte package costs no more memory than a small one.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace pkgfmt {

// A SHA-256 taken over bytes given in pieces; every digest in the system is
// taken with it.
class Sha256 {
 public:
  // Fails only when the digest cannot be started ("sha256: cannot start
  // digest").
  static util::Result<Sha256> Make();
  Sha256(Sha256&& o) noexcept : ctx_(o.ctx_) { o.ctx_ = nullptr; }
  Sha256& operator=(Sha256&&) = delete;
  ~Sha256();
  // False when the digest refused the bytes.
  bool Update(const void* data, size_t n);
  // The digest text; ends the hashing. Empty when the digest failed.
  std::string HexDigest();

 private:
  explicit Sha256(void* ctx) : ctx_(ctx) {}
  void* ctx_;  // EVP_MD_CTX, kept out of this header
};

// Digest text of what is left to read from the open file `fd`, which stays
// the caller's; `path` names it in the error ("read PATH: reason", else
// "sha256 unavailable"). Callers open the file themselves, so each words a
// failed open and a failed read in its own terms.
util::Result<std::string> ComputeFileChecksum(int fd, const std::string& path);

// Compares the file's digest text with `expected`, byte for byte (letter case
// included). An empty `expected` succeeds without opening the file. Errors:
// "open file: %w", "hash file: %w", "checksum mismatch for %s: expected %s,
// got %s".
util::Error VerifyFileChecksum(const std::string& path, std::string_view expected);

// Digest text of bytes in memory; it cannot fail.
std::string computeBytesChecksum(std::string_view data);

// The checksum sidecar's path for a package: package path + ".sha256".
inline std::string ChecksumSidecarPath(const std::string& package_path) { return package_path + ".sha256"; }

}  // namespace pkgfmt
