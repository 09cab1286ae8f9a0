// The signature record and the two signatures built on it: the detached
// ".sig" sidecar over the whole package file, and the embedded
// "signature.json" over the bytes of "manifest.json".
#pragma once

#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace pkgfmt {

struct PackageSignature {
  std::string Algorithm;  // always "ed25519" when made here
  std::string PublicKey;  // standard base64 of the 32-byte public key
  std::string Digest;     // digest text signed (detached); empty (embedded)
  std::string Signature;  // standard base64 of the 64-byte signature
};

inline constexpr char kSignatureFileName[] = "signature.json";
// A signature record is a few hundred bytes; the bound keeps a hostile one
// from costing more than this to read.
inline constexpr size_t kMaxSignatureBytes = 64 << 10;

// The record as JSON indented by two blanks, keys in record order, no line
// feed after the closing brace.
std::string EncodeSignature(const PackageSignature& sig);
// Reads a record by the common JSON rules (keys matched ignoring letter case,
// unknown keys ignored, missing or null keys empty, wrong types fail).
util::Result<PackageSignature> DecodeSignature(std::string_view json);

// The detached signature's path: package path + ".sig".
inline std::string DetachedSignaturePath(const std::string& package_path) { return package_path + ".sig"; }

// Writes the detached signature of the package file with the private key file.
// Errors: "compute digest: %w", "read private key %s: %w", "invalid PEM in %s",
// "invalid private key size: %d (expected %d)", or the write failure itself.
util::Error SignPackage(const std::string& package_path, const std::string& private_key_path);

// Checks the detached signature of the package file against the trust anchor
// (TrustedPublicKeyText(public_key), `public_key` being $ZOL_PUBLIC_KEY).
util::Error VerifyPackageSig(const std::string& package_path, const std::string& public_key);
// VerifyPackageSig against `digest`, the digest text of the package's bytes
// as its one reader took them (or the failure to take it): whoever checks
// what they extracted must not read the file a second time, which may no
// longer hold the same bytes.
util::Error VerifyPackageSigDigest(const std::string& package_path, const std::string& public_key,
                                   const util::Result<std::string>& digest);

// Signs the exact bytes of a manifest; writes nothing. Errors: "read private
// key: %w", "invalid PEM in %s", "invalid private key size: %d".
util::Result<PackageSignature> SignManifest(const std::string& private_key_path, std::string_view manifest);

// Checks the embedded signature of an extracted package tree. A tree without
// "signature.json" passes (its "manifest.json" must still be readable). An
// empty `trusted_dir` skips the trust check. Files of the tree are read
// beneath `dir`: no link inside the tree leads a read outside it.
util::Error VerifyPackageSignature(const std::string& dir, const std::string& trusted_dir);

// Succeeds when a file of `dir` (sorted by name, directories skipped, links
// followed, unreadable files skipped) has a first PEM block holding exactly
// `key`. Errors: "read trusted key dir %s: %w", "no matching trusted key found
// in %s".
util::Error isTrustedKey(const std::string& dir, std::string_view key);

}  // namespace pkgfmt
