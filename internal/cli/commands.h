// The dispatcher and the command front ends.
#pragma once

#include <string>
#include <vector>

#include "internal/util/error.h"

namespace cli {

// Performs one invocation; returns 0 on success and 1 on every failure.
int Run(int argc, char** argv);

// Front ends: each gets the arguments after the command word, prints its own
// success output and returns its failure for the dispatcher to print.
using Args = std::vector<std::string>;
util::Error runInstall(const Args& args);
util::Error runUninstall(const Args& args);
util::Error runUpgrade(const Args& args);
util::Error runList(const Args& args);
util::Error runInfo(const Args& args);
util::Error runRun(const Args& args);
util::Error runBuild(const Args& args);
util::Error runKeygen(const Args& args);
util::Error runSign(const Args& args);
util::Error runVerify(const Args& args);

}  // namespace cli
