#include "internal/builder/interrupt.h"
#include "internal/cli/commands.h"
#include "internal/cli/install.h"

namespace cli {

util::Error runInstall(const config::Config& cfg, const Args& args) {
  if (args.empty()) return util::Error::Msg("usage: zol-cli install <package.zol>");
  // A signal ends the install with everything it started and removes its
  // extraction directory; what it left beside the versions goes with the
  // next install or uninstall of the id.
  return builder::RunTrappingSignals([&] { return InstallPackage(cfg, args[0]); }, true).Wrap("install failed");
}

}  // namespace cli
