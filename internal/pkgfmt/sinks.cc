#include "internal/pkgfmt/sinks.h"

#include <unistd.h>

#include <cerrno>

namespace pkgfmt {

using util::Error;
using util::Result;

Error FdSink::Write(const void* data, size_t n) {
  if (!failed_.ok()) return failed_;
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t w = ::write(fd_, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      failed_ = Error::Errno("write", name_, errno);
      return failed_;
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return Error();
}

Result<std::unique_ptr<HashingSink>> HashingSink::Make(Sink* below) {
  ZOL_ASSIGN_OR_RETURN(Sha256 hash, Sha256::Make());
  return std::unique_ptr<HashingSink>(new HashingSink(below, std::move(hash)));
}

Error HashingSink::Write(const void* data, size_t n) {
  if (taken_) return Error::Msg("sha256: write after digest");
  if (!hash_.Update(data, n)) return Error::Msg("sha256: update failed");
  return below_->Write(data, n);
}

Result<std::string> HashingSink::HexDigest() {
  if (taken_) return Error::Msg("sha256: digest already taken");
  taken_ = true;
  std::string hex = hash_.HexDigest();
  if (hex.empty()) return Error::Msg("sha256: final failed");
  return hex;
}

}  // namespace pkgfmt
