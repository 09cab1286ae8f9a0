// The component walk beneath a root, for kernels without openat2, and the
// path text rules it shares with the Root operations.
#pragma once

#include <sys/types.h>

#include <deque>
#include <string>
#include <string_view>

namespace util::beneath {

// Symbolic links followed in one resolution before ELOOP, as the kernel's.
inline constexpr int kMaxLinks = 40;

// The components of rel that name something: empty and "." dropped, ".."
// kept.
std::deque<std::string> Split(std::string_view rel);

// Whether s holds a NUL byte, where the system calls would cut the name.
bool HoldsNul(std::string_view s);

// Puts the components of a link's text in front of what is left to walk.
void PrependLink(std::deque<std::string>& todo, const std::string& target);

// readlinkat on an O_PATH descriptor of the link itself; 0 or an errno.
int ReadLinkFd(int fd, std::string& out);

// Opens rel beneath the directory `root` without openat2, with the rules
// the kernel applies with it. Returns a descriptor or -errno.
int WalkOpen(int root, std::string_view rel, int flags, mode_t mode, bool follow, bool in_root);

}  // namespace util::beneath
