// Placeholder for the Debian road until its converter lands.
#include "internal/builder/roads.h"

namespace builder {

util::Error buildFromDeb(BuildOptions) {
  return util::Error::Msg("building from a Debian package is not implemented yet");
}

}  // namespace builder
