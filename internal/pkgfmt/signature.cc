// The signature record and the detached ".sig" sidecar.
#include "internal/pkgfmt/signature.h"

#include <fcntl.h>

#include <cerrno>

#include "internal/pkgfmt/checksum.h"
#include "internal/pkgfmt/keys.h"
#include "internal/pkgfmt/pem.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/json_reader.h"
#include "internal/util/json_writer.h"

namespace pkgfmt {
namespace {

bool EqualIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

// The package's digest text, its failures worded as signing has always
// worded them ("open: %w", "hash: %w").
util::Result<std::string> PackageDigest(const std::string& package_path) {
  util::UniqueFd fd(::open(package_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return util::Error::Errno("open", package_path, errno).Wrap("open");
  auto digest = ComputeFileChecksum(fd.get(), package_path);
  if (!digest.ok()) return digest.error().Wrap("hash");
  return digest;
}

util::Error DecodeRecord(const util::json::Value& v, const std::string& path, PackageSignature& s) {
  return util::json::DecodeObject(v, "PackageSignature", path,
                                  {
                                      util::json::Bind("algorithm", s.Algorithm),
                                      util::json::Bind("public_key", s.PublicKey),
                                      util::json::Bind("digest", s.Digest),
                                      util::json::Bind("signature", s.Signature),
                                  });
}

}  // namespace

util::Result<PackageSignature> DecodeSignature(std::string_view json) {
  PackageSignature s;
  ZOL_TRY(util::json::DecodeDocument<PackageSignature>(json, s, DecodeRecord));
  return s;
}

std::string EncodeSignature(const PackageSignature& sig) {
  util::JsonWriter w("  ");
  w.BeginObject();
  w.Field("algorithm", sig.Algorithm);
  w.Field("public_key", sig.PublicKey);
  w.Field("digest", sig.Digest);
  w.Field("signature", sig.Signature);
  w.EndObject();
  return w.Take();
}

util::Error SignPackage(const std::string& package_path, const std::string& private_key_path) {
  auto digest = PackageDigest(package_path);
  if (!digest.ok()) return digest.error().Wrap("compute digest");
  auto key_file = ReadKeyFile(private_key_path);
  if (!key_file.ok()) return key_file.error().Wrap("read private key " + private_key_path);
  auto block = DecodeFirstPemBlock(*key_file);
  if (!block) return util::Error::Msg("invalid PEM in " + private_key_path);
  if (block->bytes.size() != kPrivateKeySize) {
    return util::Error::Msg("invalid private key size: " + std::to_string(block->bytes.size()) + " (expected " +
                            std::to_string(kPrivateKeySize) + ")");
  }
  ZOL_TRY(CheckPrivateKeyHalves(block->bytes, private_key_path));
  auto sig = Ed25519Sign(block->bytes, *digest);
  if (!sig.ok()) return sig.error();
  PackageSignature record{"ed25519", Base64Encode(block->bytes.substr(kSeedSize)), *digest, Base64Encode(*sig)};
  return util::WriteFile(DetachedSignaturePath(package_path), EncodeSignature(record) + "\n", 0644);
}

util::Error VerifyPackageSigDigest(const std::string& package_path, const std::string& public_key,
                                   const util::Result<std::string>& digest) {
  std::string sig_path = DetachedSignaturePath(package_path);
  // Anyone who can write beside the package could put a FIFO there.
  auto text = util::ReadRegularFile(sig_path);
  if (!text.ok()) return text.error();
  auto record = DecodeSignature(*text);
  if (!record.ok()) return record.error().Wrap("parse " + sig_path);
  if (record->Algorithm != "ed25519") return util::Error::Msg("unsupported signature algorithm: " + record->Algorithm);

  std::string anchor_text = TrustedPublicKeyText(public_key);
  auto anchor = Base64Decode(anchor_text);
  if (!anchor.ok()) return anchor.error().Wrap("decode trusted public key");
  auto pub = Base64Decode(record->PublicKey);
  if (!pub.ok()) return pub.error().Wrap("decode signature public key");
  if (*pub != *anchor) {
    return util::Error::Msg("package signed with untrusted key (got " + record->PublicKey + ", expected " +
                            anchor_text + ")");
  }

  if (!digest.ok()) return digest.error().Wrap("compute digest");
  if (!EqualIgnoringAsciiCase(record->Digest, *digest)) {
    return util::Error::Msg("package file digest mismatch: sig=" + record->Digest + " actual=" + *digest);
  }
  auto sig = Base64Decode(record->Signature);
  if (!sig.ok()) return sig.error().Wrap("decode signature bytes");
  if (pub->size() != kPublicKeySize) return util::Error::Msg("invalid public key size: " + std::to_string(pub->size()));
  // The stored text is what was signed; a record whose digest differs only in
  // letter case from the file's therefore fails here.
  if (!Ed25519Verify(*pub, record->Digest, *sig)) {
    return util::Error::Msg("ed25519 signature invalid: package may have been tampered");
  }
  return util::Error();
}

util::Error VerifyPackageSig(const std::string& package_path, const std::string& public_key) {
  return VerifyPackageSigDigest(package_path, public_key, PackageDigest(package_path));
}

}  // namespace pkgfmt
