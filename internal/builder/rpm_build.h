// The RPM road and the repository road that feeds it: pieces a test can call
// apart from the whole build.
#pragma once

#include <string>
#include <vector>

#include "internal/util/error.h"

namespace builder {

// i386, i686 -> i686; x86_64; aarch64; armv7l, armv7hl -> armv7l; any other
// value (the empty one included) unchanged. Exact and case-sensitive.
// "noarch" names no architecture: the road takes IndependentArch for it.
std::string mapRPMArch(const std::string& rpm_arch);

// Refuses a package name that would act as an option of the download program
// (leading "-") or as a pattern when the download is looked for.
util::Error validateYumPackageName(const std::string& name);

// Checks the program, the package name and every argument, prints the
// progress line and runs the program with no standard input. Failures: the
// validators' texts unchanged, or "download P: %w\n  Tip: verify the package
// exists: dnf list P".
util::Error downloadYumPackage(const std::string& name, const std::string& program,
                               const std::vector<std::string>& args);

// The file a download into `dir` produced for `name`: the greatest name (byte
// order) among dir/name-*.rpm, else among dir/name*.rpm. Failures: "glob
// downloaded rpm: %w", "downloaded .rpm not found in DIR (tried DIR/name-*.rpm);
// check dnf output above".
util::Result<std::string> findDownloadedRPM(const std::string& dir, const std::string& name);

}  // namespace builder
