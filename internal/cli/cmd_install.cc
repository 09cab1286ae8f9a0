#include "internal/cli/commands.h"
#include "internal/cli/install.h"

namespace cli {

util::Error runInstall(const config::Config& cfg, const Args& args) {
  if (args.empty()) return util::Error::Msg("usage: zol-cli install <package.zol>");
  return InstallPackage(cfg, args[0]).Wrap("install failed");
}

}  // namespace cli
