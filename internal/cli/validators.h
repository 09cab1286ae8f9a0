// Rules for what the command line hands to other programs and to the file
// system: the command validator through which every external program of the
// package lifecycle is prepared, and the directory-name rule for manifest and
// command-line values that become directory names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "internal/util/error.h"
#include "internal/util/process.h"

namespace cli {

// "command path is empty", or "invalid command path: PATH" when the path
// holds a backquote, "$", ";", "&", "|", ">", "<", a line feed, a carriage
// return, a NUL byte or "..".
util::Error validateCommandBinary(std::string_view path);
// "invalid command argument: ARG" for the same characters and ".."; the empty
// argument is allowed.
util::Error validateCommandArg(std::string_view arg);

// Validates the program and each argument in order (first failure wins) and
// prepares, without starting, the command. Defaults: the process's
// environment and working directory, standard input from /dev/null, standard
// output and error discarded; the caller changes the fields it needs and runs
// it with util::RunProcess.
util::Result<util::Command> newValidatedCommand(const std::string& name,
                                                const std::vector<std::string>& args = {});

}  // namespace cli
