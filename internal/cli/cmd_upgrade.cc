#include "internal/cli/commands.h"

namespace cli {

util::Error runUpgrade(const Args&) { return util::Error::Msg("upgrade: not implemented"); }

}  // namespace cli
