#include "internal/cli/commands.h"

namespace cli {

util::Error runKeygen(const Args&) { return util::Error::Msg("keygen: not implemented"); }

}  // namespace cli
