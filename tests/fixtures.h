// Fixtures shared by end-to-end tests.
#pragma once

#include <string>

namespace e2e {

// Lays out a minimal root filesystem at `dir` from the host's busybox-static:
// bin/busybox with links for the common applets (sh, ls, cat, echo, true,
// false, sleep, id, env, mkdir, touch, stat, readlink, grep, head, ...),
// usr/bin, sbin, etc with passwd, group and hosts, tmp, var/tmp and root.
// Returns false when busybox-static is not installed.
bool MakeBusyboxRootfs(const std::string& dir);

// The host's static busybox ("/bin/busybox" from busybox-static).
std::string BusyboxPath();

}  // namespace e2e
