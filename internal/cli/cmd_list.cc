#include "internal/cli/commands.h"
#include "internal/cli/install.h"

namespace cli {

util::Error runList(const Args&) { return ListApps().Wrap("list failed"); }

}  // namespace cli
