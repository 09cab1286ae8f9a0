#include "internal/cli/commands.h"
#include "internal/cli/uninstall.h"

namespace cli {

util::Error runUninstall(const Args& args) {
  if (args.empty()) return util::Error::Msg("usage: zol-cli uninstall <appid>");
  return UninstallApp(args[0]).Wrap("uninstall failed");
}

}  // namespace cli
