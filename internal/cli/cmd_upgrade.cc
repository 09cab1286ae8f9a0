#include "internal/builder/interrupt.h"
#include "internal/cli/commands.h"
#include "internal/cli/install.h"

namespace cli {

util::Error runUpgrade(const config::Config& cfg, const Args& args) {
  if (args.empty()) return util::Error::Msg("usage: zol-cli upgrade <package.zol>");
  return builder::RunTrappingSignals([&] { return UpgradeApp(cfg, args[0]); }, true).Wrap("upgrade failed");
}

}  // namespace cli
