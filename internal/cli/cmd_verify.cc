#include <cstdio>

#include "internal/cli/commands.h"
#include "internal/cli/flags.h"
#include "internal/cli/signing.h"

namespace cli {

util::Error runVerify([[maybe_unused]] const config::Config& cfg, const Args& args) {
  FlagSet fs("verify");
  std::string trusted;
  fs.StringVar(&trusted, "trusted-keys", "", "Directory of trusted public keys (optional)");
  ZOL_TRY(fs.Parse(args), "parse verify flags");
  if (fs.Args().empty()) return util::Error::Msg("package path required");
  bool had_signature = false;
  ZOL_TRY(verifyZOLFile(fs.Args()[0], trusted, &had_signature), "verify failed");
  if (!had_signature) {
    std::printf("Package carries no embedded signature (signature.json): nothing was verified.\n");
    return util::Error();
  }
  std::printf("Signature verified OK.\n");
  return util::Error();
}

}  // namespace cli
