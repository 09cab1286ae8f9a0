// Placeholder for the RPM and repository roads until their converter lands.
#include "internal/builder/roads.h"

namespace builder {

util::Error buildFromRPM(BuildOptions) {
  return util::Error::Msg("building from an RPM package is not implemented yet");
}

util::Error buildFromYumPkg(BuildOptions) {
  return util::Error::Msg("building from a yum/dnf repository is not implemented yet");
}

}  // namespace builder
