#include "internal/cli/commands.h"
#include "internal/cli/list_info.h"

namespace cli {

util::Error runInfo(const config::Config& cfg, const Args& args) {
  if (args.empty()) return util::Error::Msg("usage: zol-cli info <appid>");
  return ShowAppInfo(cfg, args[0]).Wrap("info failed");
}

}  // namespace cli
