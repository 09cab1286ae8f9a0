// Rules for manifest values that become names on the installing host: the
// id and version name app_dir/id/version, the base and arch name
// runtime_dir/base-arch. The installer and the builder share them, so a
// build never succeeds for a package the install would refuse.
#pragma once

#include <string_view>

namespace pkgfmt {

// Whether a value may be one directory name under the application or
// runtime directory: not empty, not ".", no "/", "\", ".." or control
// character (NUL, line feed, ...).
bool ValidDirName(std::string_view value);

// What the install and uninstall append to a version's directory name for a
// tree in transit beside app_dir/id/version: the staging directory, a holder
// of a tree a reinstall replaced, and a holder of a tree an uninstall is
// removing (the holders end in six random characters).
inline constexpr std::string_view kStagingSuffix = ".installing";
inline constexpr std::string_view kReplacedInfix = ".replaced-";
inline constexpr std::string_view kRemovingInfix = ".removing-";

// Whether a version may name its install directory: ValidDirName, and no name
// a tree in transit could take (ending in ".installing", or holding
// ".replaced-" or ".removing-"), so installing one version never removes or
// takes over another one's directory.
bool ValidVersionDirName(std::string_view version);

// Whether an application id begins like a base layer's ("base." or
// "com.calderim.base."): uninstall and info would take it for a layer, so
// such an application could never be shown or removed by its id.
bool HasBaseLayerIDPrefix(std::string_view id);

}  // namespace pkgfmt
