// The ".sha256" sidecar of a package: install accepts the package exactly
// when the sidecar, blanks around it dropped, is the package's digest (or
// empty while checksums are not required), and it decides the same whether
// it hashes the file itself or is handed the digest taken while unpacking.
#include "fuzz/fuzz_support.h"
#include "internal/cli/install.h"
#include "internal/config/config.h"
#include "internal/pkgfmt/checksum.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view in = fuzz::Bytes(data, size);
  config::Config cfg;
  if (!in.empty()) {
    cfg.RequireChecksum = (in[0] & 1) ? "1" : "";
    in.remove_prefix(1);
  }
  const std::string package = "package bytes\n";
  fuzz::Scratch s(package, "app.zol");
  if (!util::WriteFile(pkgfmt::ChecksumSidecarPath(s.input_path()), in, 0644).ok()) fuzz::Fail("write sidecar");
  const std::string digest = pkgfmt::computeBytesChecksum(package);

  const bool by_file = cli::verifyPackageIntegrity(cfg, s.input_path(), nullptr).ok();
  const util::Result<std::string> taken(digest);
  const bool by_digest = cli::verifyPackageIntegrity(cfg, s.input_path(), &taken).ok();
  if (by_file != by_digest) fuzz::Fail("hashing the file and handing the digest decide differently");

  const char* ws = " \t\n\r\v\f";
  std::string_view trimmed = in;
  trimmed.remove_prefix(std::min(trimmed.size(), trimmed.find_first_not_of(ws)));
  trimmed = trimmed.substr(0, trimmed.find_last_not_of(ws) + 1);
  const bool want = in.size() <= 4096 && (trimmed == digest || (trimmed.empty() && cfg.RequireChecksum != "1"));
  if (by_file != want) fuzz::Fail(std::string(by_file ? "accepted" : "refused") + " a package against its sidecar");
  return 0;
}
