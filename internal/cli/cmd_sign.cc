#include "internal/cli/commands.h"

namespace cli {

util::Error runSign(const Args&) { return util::Error::Msg("sign: not implemented"); }

}  // namespace cli
