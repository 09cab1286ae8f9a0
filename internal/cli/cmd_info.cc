#include "internal/cli/commands.h"

namespace cli {

util::Error runInfo(const Args&) { return util::Error::Msg("info: not implemented"); }

}  // namespace cli
