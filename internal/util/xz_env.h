// The environment of a system "tar" that writes or reads an xz archive.
#pragma once

#include <string>
#include <vector>

namespace util {

// xz's own options for every core, handed to tar's xz through XZ_OPT:
// compression cut into blocks of the preset's dictionary size, so a tree of
// a few dozen MiB already keeps every thread busy, and a multi-block file
// decoded in parallel. The archive stays an ordinary .xz that any xz reads.
// Options the caller's XZ_OPT already holds follow ours, so they win.
inline constexpr const char* kParallelXzOptions = "-T0 --block-size=8MiB";

// The process's environment with XZ_OPT set as above.
std::vector<std::string> ParallelXzEnviron();

}  // namespace util
