#include "internal/cli/commands.h"

namespace cli {

util::Error runVerify(const Args&) { return util::Error::Msg("verify: not implemented"); }

}  // namespace cli
