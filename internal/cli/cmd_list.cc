#include "internal/cli/commands.h"
#include "internal/cli/list_info.h"

namespace cli {

util::Error runList(const config::Config& cfg, const Args&) {
  return ListApps(cfg).Wrap("list failed");
}

}  // namespace cli
