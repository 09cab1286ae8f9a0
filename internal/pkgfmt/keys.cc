#include "internal/pkgfmt/keys.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>

#include "internal/pkgfmt/pem.h"
#include "internal/util/atomic_file.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"

namespace pkgfmt {
namespace {

struct PkeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
using Pkey = std::unique_ptr<EVP_PKEY, PkeyFree>;
struct PkeyCtxFree {
  void operator()(EVP_PKEY_CTX* c) const { EVP_PKEY_CTX_free(c); }
};
struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
using MdCtx = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;

const unsigned char* Bytes(std::string_view s) { return reinterpret_cast<const unsigned char*>(s.data()); }

// The reason OpenSSL queued for the last failure, cleared afterwards.
util::Error OpensslError(std::string_view what) {
  unsigned long code = ERR_get_error();
  std::string text(what);
  if (code != 0) {
    char buf[256];
    ERR_error_string_n(code, buf, sizeof buf);
    text += ": ";
    text += buf;
  }
  ERR_clear_error();
  return util::Error::Msg(text);
}

util::Result<std::string> RawKey(EVP_PKEY* key, bool priv) {
  std::string out(32, '\0');
  size_t n = out.size();
  auto* p = reinterpret_cast<unsigned char*>(out.data());
  int rc = priv ? EVP_PKEY_get_raw_private_key(key, p, &n) : EVP_PKEY_get_raw_public_key(key, p, &n);
  if (rc != 1 || n != 32) return OpensslError("export ed25519 key");
  return out;
}

// Writes `content` to a new file in `dir` and renames it to `name`, so the
// result has exactly the requested mode (less the umask) whatever stood at
// that name before, and a reader never sees half a key.
util::Error WriteReplacing(const std::string& dir, const std::string& name, const std::string& content,
                           mode_t mode) {
  util::AtomicFileOptions options;
  options.name_target = true;
  ZOL_ASSIGN_OR_RETURN(util::AtomicFile file, util::AtomicFile::Create(util::JoinPath(dir, name), mode, options));
  ZOL_TRY(file.Write(content));
  return file.Commit();
}

}  // namespace

std::string TrustedPublicKeyText(const std::string& configured) {
  if (!configured.empty()) return configured;
  return kBuiltinPublicKey;
}

util::Error GenerateKeyPair(const std::string& dir, std::FILE* out) {
  ZOL_TRY(util::MkdirAll(dir, 0700), "create key dir");

  EVP_PKEY* raw = nullptr;
  std::unique_ptr<EVP_PKEY_CTX, PkeyCtxFree> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_ED25519, nullptr));
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 || EVP_PKEY_keygen(ctx.get(), &raw) != 1) {
    return OpensslError("ed25519 key generation").Wrap("generate key");
  }
  Pkey key(raw);
  auto seed = RawKey(key.get(), true);
  if (!seed.ok()) return seed.error().Wrap("generate key");
  auto pub = RawKey(key.get(), false);
  if (!pub.ok()) return pub.error().Wrap("generate key");

  std::string private_pem = EncodePemBlock(kPrivateKeyPemType, *seed + *pub);
  OPENSSL_cleanse(seed->data(), seed->size());
  util::Error e = WriteReplacing(dir, kPrivateKeyFileName, private_pem, 0600);
  OPENSSL_cleanse(private_pem.data(), private_pem.size());
  if (!e.ok()) return e.Wrap("write private key");
  e = WriteReplacing(dir, kPublicKeyFileName, EncodePemBlock(kPublicKeyPemType, *pub), 0644);
  if (!e.ok()) return e.Wrap("write public key");

  std::string priv_path = util::JoinPath(dir, kPrivateKeyFileName);
  std::string pub_path = util::JoinPath(dir, kPublicKeyFileName);
  std::fprintf(out, "Key pair generated:\n  Private: %s\n  Public:  %s\n", priv_path.c_str(), pub_path.c_str());
  std::fprintf(out, "  Public key (base64): %s\n", Base64Encode(*pub).c_str());
  std::fprintf(out, "\nIMPORTANT: Keep the private key offline. The public key should be embedded in the binary.\n");
  std::fflush(out);
  return util::Error();
}

util::Result<std::string> ReadKeyFile(const std::string& path) {
  auto data = util::ReadFile(path);
  // An empty path (a "--key" given as "") still shows where the path goes.
  if (!data.ok() && path.empty()) {
    return util::Error::WithCause("open : " + util::ErrnoText(data.error().sys_errno()), data.error());
  }
  return data;
}

util::Result<std::string> Ed25519Sign(std::string_view private_key, std::string_view message) {
  if (private_key.size() != kPrivateKeySize) {
    return util::Error::Msg("ed25519 private key must be " + std::to_string(kPrivateKeySize) + " bytes");
  }
  // The signature comes from the seed alone, while the record names the
  // stored public half: a key file whose halves disagree would sign packages
  // no one can verify.
  auto pub = Ed25519PublicFromSeed(private_key.substr(0, kSeedSize));
  if (!pub.ok()) return pub.error();
  if (*pub != private_key.substr(kSeedSize)) {
    return util::Error::Msg("ed25519 private key: public key does not belong to the seed");
  }
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, Bytes(private_key), kSeedSize));
  if (!key) return OpensslError("load ed25519 key");
  MdCtx ctx(EVP_MD_CTX_new());
  std::string sig(kSignatureSize, '\0');
  size_t n = sig.size();
  if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1 ||
      EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char*>(sig.data()), &n, Bytes(message), message.size()) !=
          1 ||
      n != kSignatureSize) {
    return OpensslError("ed25519 sign");
  }
  return sig;
}

bool Ed25519Verify(std::string_view public_key, std::string_view message, std::string_view signature) {
  if (public_key.size() != kPublicKeySize || signature.size() != kSignatureSize) return false;
  Pkey key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, Bytes(public_key), public_key.size()));
  MdCtx ctx(EVP_MD_CTX_new());
  bool ok = key && ctx && EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) == 1 &&
            EVP_DigestVerify(ctx.get(), Bytes(signature), signature.size(), Bytes(message), message.size()) == 1;
  ERR_clear_error();
  return ok;
}

util::Result<std::string> Ed25519PublicFromSeed(std::string_view seed) {
  if (seed.size() != kSeedSize) return util::Error::Msg("ed25519 seed must be 32 bytes");
  Pkey key(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, Bytes(seed), seed.size()));
  if (!key) return OpensslError("load ed25519 key");
  return RawKey(key.get(), false);
}

}  // namespace pkgfmt
