// The embedded "signature.json" over the bytes of "manifest.json", and the
// trusted-key directory it may be checked against.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "internal/pkgfmt/checksum.h"
#include "internal/pkgfmt/keys.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/pkgfmt/pem.h"
#include "internal/pkgfmt/signature.h"
#include "internal/util/beneath.h"
#include "internal/util/dir_list.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"

namespace pkgfmt {
namespace {

// The first PEM block of a trusted-key directory entry, or nothing when the
// entry is unreadable or not a regular file once links are followed. Opening
// without blocking and skipping what is not a regular file keeps a FIFO in
// the directory from hanging the check.
std::optional<PemBlock> TrustedEntryBlock(int dirfd, const std::string& name) {
  util::UniqueFd fd(::openat(dirfd, name.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  std::string data;
  char buf[16 * 1024];
  for (;;) {
    ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  return DecodeFirstPemBlock(data);
}

}  // namespace

util::Result<PackageSignature> SignManifest(const std::string& private_key_path, std::string_view manifest) {
  auto key_file = ReadKeyFile(private_key_path);
  if (!key_file.ok()) return key_file.error().Wrap("read private key");
  auto block = DecodeFirstPemBlock(*key_file);
  if (!block) return util::Error::Msg("invalid PEM in " + private_key_path);
  if (block->bytes.size() != kPrivateKeySize) {
    return util::Error::Msg("invalid private key size: " + std::to_string(block->bytes.size()));
  }
  ZOL_TRY(CheckPrivateKeyHalves(block->bytes, private_key_path));
  auto sig = Ed25519Sign(block->bytes, computeBytesChecksum(manifest));
  if (!sig.ok()) return sig.error();
  return PackageSignature{"ed25519", Base64Encode(block->bytes.substr(kSeedSize)), "", Base64Encode(*sig)};
}

util::Error VerifyPackageSignature(const std::string& dir, const std::string& trusted_dir) {
  auto root = util::Root::Open(dir);
  if (!root.ok()) return root.error().Wrap("read manifest");
  // Opened first so a missing manifest is reported before anything else, and
  // read (within its bound) only for a package that is signed.
  auto manifest_fd = root->OpenFile("manifest.json", O_RDONLY, 0, util::Root::Follow::kYes);
  if (!manifest_fd.ok()) return manifest_fd.error().Wrap("read manifest");
  auto text = root->ReadFile(kSignatureFileName, kMaxSignatureBytes);
  if (!text.ok()) {
    if (text.error().Is(ENOENT)) return util::Error();  // an unsigned package
    return text.error().Wrap("read signature");
  }
  auto manifest = util::ReadAll(manifest_fd->get(), root->PathOf("manifest.json"), kMaxManifestBytes);
  if (!manifest.ok()) return manifest.error().Wrap("read manifest");
  auto record = DecodeSignature(*text);
  if (!record.ok()) return record.error().Wrap("parse signature.json");
  if (record->Algorithm != "ed25519") return util::Error::Msg("unsupported signature algorithm: " + record->Algorithm);
  auto pub = Base64Decode(record->PublicKey);
  if (!pub.ok()) return pub.error().Wrap("decode public key");
  if (pub->size() != kPublicKeySize) return util::Error::Msg("invalid public key size: " + std::to_string(pub->size()));
  if (!trusted_dir.empty()) {
    ZOL_TRY(isTrustedKey(trusted_dir, *pub), "untrusted signing key");
  }
  auto sig = Base64Decode(record->Signature);
  if (!sig.ok()) return sig.error().Wrap("decode signature");
  if (!Ed25519Verify(*pub, computeBytesChecksum(*manifest), *sig)) {
    return util::Error::Msg("signature verification failed: package may be tampered");
  }
  return util::Error();
}

util::Error isTrustedKey(const std::string& dir, std::string_view key) {
  util::UniqueFd dirfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dirfd.valid()) return util::Error::Errno("open", dir, errno).Wrap("read trusted key dir " + dir);
  ZOL_ASSIGN_OR_RETURN(auto names, util::ListDir(dirfd.get(), dir), "read trusted key dir " + dir);
  for (const std::string& name : names) {
    struct stat st {};
    if (::fstatat(dirfd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) continue;
    auto block = TrustedEntryBlock(dirfd.get(), name);
    if (block && block->bytes == key) return util::Error();
  }
  return util::Error::Msg("no matching trusted key found in " + dir);
}

}  // namespace pkgfmt
