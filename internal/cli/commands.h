// The dispatcher and the command front ends.
#pragma once

#include <string>
#include <vector>

#include "internal/config/config.h"
#include "internal/util/error.h"

namespace cli {

// Performs one invocation; returns 0 on success and 1 on every failure.
int Run(int argc, char** argv);

// Front ends: each gets the environment as the dispatcher read it once for
// this command and the arguments after the command word, prints its own
// success output and returns its failure for the dispatcher to print.
using Args = std::vector<std::string>;
util::Error runInstall(const config::Config& cfg, const Args& args);
util::Error runUninstall(const config::Config& cfg, const Args& args);
util::Error runUpgrade(const config::Config& cfg, const Args& args);
util::Error runList(const config::Config& cfg, const Args& args);
util::Error runInfo(const config::Config& cfg, const Args& args);
util::Error runRun(const config::Config& cfg, const Args& args);
util::Error runBuild(const config::Config& cfg, const Args& args);
util::Error runKeygen(const config::Config& cfg, const Args& args);
util::Error runSign(const config::Config& cfg, const Args& args);
util::Error runVerify(const config::Config& cfg, const Args& args);

}  // namespace cli
