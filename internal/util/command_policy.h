// What a command means apart from starting it: where its program is found,
// how its end reads, and the environment it is given.
#pragma once

#include <string>
#include <vector>

#include "internal/util/error.h"

namespace util {

// The path exec would use for `name`: `name` itself when it holds "/", else
// the first executable regular file named so in a PATH element. Failure text:
// exec: "NAME": executable file not found in $PATH
Result<std::string> LookPath(const std::string& name);

// A signal's description as strsignal gives it, its first letter lower case
// unless it starts an abbreviation ("terminated", "I/O possible").
std::string SignalText(int sig);

// The error for a raw wait status: ok for exit 0, "exit status N",
// "signal: killed" (the signal's name as strsignal gives it, lower case).
Error WaitStatusError(int status);

// The process's environment with `name` set to `value`; an inherited entry
// of that name is dropped, since with two entries getenv sees the first.
std::vector<std::string> EnvironWith(const std::string& name, const std::string& value);

}  // namespace util
