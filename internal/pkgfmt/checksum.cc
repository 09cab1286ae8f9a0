#include "internal/pkgfmt/checksum.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <vector>

#include "internal/util/fd.h"

namespace pkgfmt {
namespace {

constexpr size_t kHashBufferSize = 256 * 1024;

std::string Hex(const unsigned char* p, size_t n) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(n * 2);
  for (size_t i = 0; i < n; ++i) {
    out += kDigits[p[i] >> 4];
    out += kDigits[p[i] & 0xf];
  }
  return out;
}

}  // namespace

util::Result<Sha256> Sha256::Make() {
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  if (ctx == nullptr || EVP_DigestInit_ex(ctx, EVP_sha256(), nullptr) != 1) {
    EVP_MD_CTX_free(ctx);
    return util::Error::Msg("sha256: cannot start digest");
  }
  return Sha256(ctx);
}

Sha256::~Sha256() { EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_)); }

bool Sha256::Update(const void* data, size_t n) {
  return ctx_ != nullptr && EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data, n) == 1;
}

std::string Sha256::HexDigest() {
  if (ctx_ == nullptr) return std::string();
  unsigned char md[EVP_MAX_MD_SIZE];
  unsigned int n = 0;
  EVP_MD_CTX* ctx = static_cast<EVP_MD_CTX*>(ctx_);
  const int ok = EVP_DigestFinal_ex(ctx, md, &n);
  EVP_MD_CTX_free(ctx);
  ctx_ = nullptr;
  return ok == 1 ? Hex(md, n) : std::string();
}

util::Result<std::string> ComputeFileChecksum(int fd, const std::string& path) {
  auto hash = Sha256::Make();
  if (!hash.ok()) return util::Error::Msg("sha256 unavailable");
  std::vector<unsigned char> buf(kHashBufferSize);
  for (;;) {
    ssize_t n = ::read(fd, buf.data(), buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return util::Error::Errno("read", path, errno);
    }
    if (n == 0) break;
    hash->Update(buf.data(), static_cast<size_t>(n));
  }
  std::string hex = hash->HexDigest();
  if (hex.empty()) std::abort();  // cannot fail for SHA-256
  return hex;
}

util::Error VerifyFileChecksum(const std::string& path, std::string_view expected) {
  if (expected.empty()) return util::Error();
  util::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return util::Error::Errno("open", path, errno).Wrap("open file");
  auto got = ComputeFileChecksum(fd.get(), path);
  if (!got.ok()) return got.error().Wrap("hash file");
  if (*got != expected) {
    return util::Error::Msg("checksum mismatch for " + path + ": expected " + std::string(expected) + ", got " +
                            *got);
  }
  return util::Error();
}

std::string computeBytesChecksum(std::string_view data) {
  auto hash = Sha256::Make();
  if (!hash.ok()) std::abort();
  hash->Update(data.data(), data.size());
  std::string hex = hash->HexDigest();
  if (hex.empty()) std::abort();  // cannot fail for SHA-256
  return hex;
}

}  // namespace pkgfmt
