#include "internal/cli/commands.h"
#include "internal/cli/install.h"

namespace cli {

util::Error runUpgrade([[maybe_unused]] const config::Config& cfg, const Args& args) {
  if (args.empty()) return util::Error::Msg("usage: zol-cli upgrade <package.zol>");
  return UpgradeApp(args[0]).Wrap("upgrade failed");
}

}  // namespace cli
