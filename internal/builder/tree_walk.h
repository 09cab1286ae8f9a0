// The builder's walk over a tree on disk, in the order packages list their
// members: each directory right before its contents, the names of one
// directory sorted by byte value. Links are never followed below the root.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>

#include "internal/util/error.h"

namespace builder {

enum class WalkAction { kContinue, kSkipDir };

// Called for every object with its full path, its path relative to the root
// ("." for the root) and its lstat; an error ends the walk and is returned.
// kSkipDir on a directory leaves its contents out.
using WalkVisit = std::function<util::Result<WalkAction>(const std::string& path, const std::string& rel,
                                                         const struct stat& st)>;

// The root is examined following a link, so a root given as a link to a
// directory is walked as that directory. A walk failure (an object that
// cannot be examined, a directory that cannot be listed) is returned as the
// system's error ("lstat PATH: ...", "open PATH: ...").
util::Error WalkTree(const std::string& root, const WalkVisit& visit);

}  // namespace builder
