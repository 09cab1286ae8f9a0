#include "internal/cli/commands.h"

namespace cli {

util::Error runBuild(const Args&) { return util::Error::Msg("build: not implemented"); }

}  // namespace cli
