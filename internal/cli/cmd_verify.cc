#include <cstdio>

#include "internal/cli/commands.h"
#include "internal/cli/flags.h"
#include "internal/cli/signing.h"
#include "internal/pkgfmt/archive.h"
#include "internal/pkgfmt/signature.h"
#include "internal/util/tempdir.h"

namespace cli {

util::Error verifyZOLFile(const std::string& pkg_path, const std::string& trusted_keys_dir) {
  auto tmp = util::TempDir::Make("zol-verify-");
  if (!tmp.ok()) return tmp.error().Wrap("temp dir");
  if (util::Error e = pkgfmt::ExtractTarGz(pkg_path, tmp->path()); !e.ok()) return e.Wrap("extract package");
  return pkgfmt::VerifyPackageSignature(tmp->path(), trusted_keys_dir);
}

util::Error runVerify([[maybe_unused]] const config::Config& cfg, const Args& args) {
  FlagSet fs("verify");
  std::string trusted;
  fs.StringVar(&trusted, "trusted-keys", "", "Directory of trusted public keys (optional)");
  if (util::Error e = fs.Parse(args); !e.ok()) return e.Wrap("parse verify flags");
  if (fs.Args().empty()) return util::Error::Msg("package path required");
  if (util::Error e = verifyZOLFile(fs.Args()[0], trusted); !e.ok()) return e.Wrap("verify failed");
  std::printf("Signature verified OK.\n");
  return util::Error();
}

}  // namespace cli
