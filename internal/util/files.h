// File helpers of the command line: existence, directory creation, removal
// and copying. None follows a symbolic link while removing.
#pragma once

#include <sys/types.h>

#include <string>

#include "internal/util/error.h"

namespace util {

// True when stat(path) succeeds (links followed): a dangling link is absent.
bool Exists(const std::string& path);

// Creates path and its missing parents with `mode`; ok when it is already a
// directory; the system's error otherwise ("mkdir PATH: reason").
Error MkdirAll(const std::string& path, mode_t mode);
// MkdirAll with 0755.
Error EnsureDir(const std::string& path);

// Removes path and, for a directory, everything below it without following
// links; ok when path does not exist; the first error otherwise.
Error RemoveAll(const std::string& path);

// Copies the regular file src to dst (created or truncated, mode 0644 before
// the umask), streaming through a fixed buffer.
Error CopyFile(const std::string& src, const std::string& dst);

}  // namespace util
