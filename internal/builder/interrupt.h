// Builds that a signal ends cleanly: SIGINT, SIGTERM or SIGHUP stop the
// build with everything it started (tar, pip, dnf) and remove what it made.
#pragma once

#include <functional>

#include "internal/util/error.h"

namespace builder {

// Runs `build` in a child process of its own process group while this
// process traps SIGINT, SIGTERM and SIGHUP. The child reports the paths it
// makes (util/transient.h). On a signal the whole group is killed, every path
// still reported is removed, and the result is "interrupted by signal: NAME"
// (the signal's name in lower case). Otherwise the result is the build's, by
// its message.
//
// With `mirror_death`, a child ended by a signal that this process did not
// catch (a kill from outside) ends this process the same way once its paths
// are removed, so the command's exit status is what it was before it ran its
// work in a child.
util::Error RunTrappingSignals(const std::function<util::Error()>& build, bool mirror_death = false);

}  // namespace builder
