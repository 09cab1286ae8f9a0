#include "internal/cli/commands.h"
#include "internal/cli/list_info.h"

namespace cli {

util::Error runList(const Args&) { return ListApps().Wrap("list failed"); }

}  // namespace cli
