// Entry points of the roads that convert foreign packages. BuildZOL picks one
// of them by the options' source fields; each works on its own copy of the
// options and returns its errors unwrapped.
#pragma once

#include "internal/builder/builder.h"
#include "internal/util/error.h"

namespace builder {

util::Error buildFromDeb(BuildOptions opts);     // FromDeb: a Debian package
util::Error buildFromRPM(BuildOptions opts);     // FromRPM: an RPM file
util::Error buildFromYumPkg(BuildOptions opts);  // FromYumPkg: downloaded from yum/dnf

}  // namespace builder
