#include "internal/cli/commands.h"

namespace cli {

util::Error runRun(const Args&) { return util::Error::Msg("run: not implemented"); }

}  // namespace cli
