// The kernel's small text files ("cgroup.procs", "/proc/PID/status") as the
// run reads them.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace runtime {

// File bytes cut at line feeds; a line ended by "\r\n" loses the "\r"; a
// non-empty rest after the last line feed is a last line.
std::vector<std::string> SplitLines(std::string_view data);

// A decimal pid filling all of `s`; false for anything else.
bool ParsePid(std::string_view s, pid_t* out);

}  // namespace runtime
