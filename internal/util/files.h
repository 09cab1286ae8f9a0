// File helpers: existence, directory creation, removal, copying, and the one
// family of whole-file reads and writes. None follows a symbolic link while
// removing.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "internal/util/error.h"
#include "internal/util/fd.h"

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

// Empties the directory open as `dir` (shown as `path` in errors) without
// following links, whatever its depth; the first error is returned. A
// directory on another mount than `dir` is not entered ("remove PATH: device
// or resource busy"): removing through a mount point would delete in the
// mounted tree, such as a bind of the host's /home.
Error RemoveDirContents(UniqueFd dir, const std::string& path);

// Tells the mounts apart: the kernel's mount id of what the open fd names,
// or its device number where statx has no mount id (bind mounts of one file
// system then look alike). nullopt when fd cannot be examined. Compare only
// with another MountKey.
std::optional<uint64_t> MountKey(int fd);

// The rest of the open file `in` (shown as src) appended to `out` (shown as
// dst): in the kernel where the file systems allow it, through a buffer where
// they refuse. "read SRC: reason" or "write DST: reason".
Error CopyBytes(int in, const std::string& src, int out, const std::string& dst);

// Copies the bytes of src (links followed) to dst, creating dst's directory
// (0755, with parents) first; dst is created 0644 (before the umask) or
// truncated, and src's mode is not carried over. A directory as src fails
// ("read SRC: is a directory") before dst is touched.
Error CopyFile(const std::string& src, const std::string& dst);

// The whole content of path ("open PATH: reason", "read PATH: reason"),
// opened with O_RDONLY | O_CLOEXEC and `extra_flags` (O_NOFOLLOW, say). A
// file larger than the memory to be had fails as "read PATH: cannot allocate
// memory"; one larger than max_bytes as "read PATH: file larger than N bytes".
Result<std::string> ReadFile(const std::string& path, int extra_flags = 0, size_t max_bytes = SIZE_MAX);
// ReadFile for a file that must be a regular one (a sidecar beside a
// package): it is opened without waiting, so a FIFO or a device in its place
// fails at once. A directory fails as reading it would ("read PATH: is a
// directory"); any other kind with "read PATH: not a regular file".
Result<std::string> ReadRegularFile(const std::string& path, size_t max_bytes = SIZE_MAX);
// Everything left to read from the open fd, which `path` names in errors
// ("read PATH: reason"). More than max_bytes fails as "read PATH: file larger
// than N bytes"; more than the memory to be had as "read PATH: cannot
// allocate memory".
Result<std::string> ReadAll(int fd, const std::string& path, size_t max_bytes = SIZE_MAX);
// Writes all of data to the open fd, going on after a short or interrupted
// write; `path` names it in the error ("write PATH: reason").
Error WriteAll(int fd, std::string_view data, const std::string& path);
// Writes all of data to fd, which `path` names in errors, and closes it
// ("write" or "close PATH: reason").
Error WriteAndClose(UniqueFd fd, std::string_view data, const std::string& path);
// Writes data to path, created with `mode` (before the umask) or truncated
// ("open", "write" or "close PATH: reason"), opened with `extra_flags` too
// (O_NOFOLLOW, say).
Error WriteFile(const std::string& path, std::string_view data, mode_t mode, int extra_flags = 0);

}  // namespace util
