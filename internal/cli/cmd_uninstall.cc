#include "internal/cli/commands.h"

namespace cli {

util::Error runUninstall(const Args&) { return util::Error::Msg("uninstall: not implemented"); }

}  // namespace cli
