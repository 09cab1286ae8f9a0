#include "internal/cli/commands.h"

namespace cli {

util::Error runList(const Args&) { return util::Error::Msg("list: not implemented"); }

}  // namespace cli
