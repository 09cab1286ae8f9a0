// Checks that stand before every program the builder starts, and the rule
// that names every package file.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "internal/util/error.h"

namespace builder {

// Refused anywhere in a program path or argument: ` $ ; & | > < LF CR, and
// the two-character ".." (a..b as well as ../x). NUL, blanks and quotes pass.
util::Error validateCommandBinary(const std::string& path);  // also refuses ""
util::Error validateCommandArg(const std::string& arg);      // "" passes
util::Error validateCommandArgs(const std::vector<std::string>& args);
// The same characters, and the path must begin with "/".
util::Error validateFilesystemPath(const std::string& path);

// The architectures a package may name; install refuses every other.
bool IsPackageArch(const std::string& arch);

// The package architecture of a host whose uname machine is `machine`:
// x86_64 and aarch64 are their own; any other host has none, and a build
// that needs it fails saying so.
util::Result<std::string> HostPackageArch(std::string_view machine);

// The architecture of a package whose source names none of its own (a
// directory, a Debian "all" or RPM "noarch" package, a root filesystem):
// `requested` (--arch) when not empty, refused unless a package architecture,
// else the host's. An application for another architecture than its base
// layer's finds no base at run time, so "the host's" is the only sound default.
util::Result<std::string> IndependentArch(const std::string& requested);

// What install demands of a package's names before it creates anything:
// id, version and base each usable as one directory name, and no
// application id that uninstall and info would take for a base layer's.
// Every build applies it before writing, so it never reports success for a
// package that install would refuse.
util::Error CheckInstallNames(const std::string& id, const std::string& version, const std::string& base,
                              bool is_base);

// `output` joined with "id_version_arch.zol". The package must land directly
// in `output`, so a part holding "/" or NUL is refused before anything is
// written.
util::Result<std::string> PackagePath(const std::string& output, const std::string& id,
                                      const std::string& version, const std::string& arch);

}  // namespace builder
