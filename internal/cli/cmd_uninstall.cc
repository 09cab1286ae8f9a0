#include "internal/cli/commands.h"
#include "internal/cli/uninstall.h"

namespace cli {

util::Error runUninstall(const config::Config& cfg, const Args& args) {
  if (args.empty()) return util::Error::Msg("usage: zol-cli uninstall <appid>");
  return UninstallApp(cfg, args[0]).Wrap("uninstall failed");
}

}  // namespace cli
