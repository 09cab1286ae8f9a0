#include "internal/cli/commands.h"

namespace cli {

util::Error runInstall(const Args&) { return util::Error::Msg("install: not implemented"); }

}  // namespace cli
