#include "internal/cli/commands.h"
#include "internal/cli/list_info.h"

namespace cli {

util::Error runList([[maybe_unused]] const config::Config& cfg, const Args&) {
  return ListApps().Wrap("list failed");
}

}  // namespace cli
