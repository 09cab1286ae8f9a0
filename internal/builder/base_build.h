// The steps of a base-layer build, for the entry point and tests.
#pragma once

#include <string>

#include "internal/util/error.h"

namespace builder {

// The build itself; BuildBaseZOL forwards to it.
util::Error buildBaseZOLImpl(const std::string& rootfs, const std::string& base, const std::string& arch,
                             const std::string& version, const std::string& output);

// The base manifest: a generic map, every object's keys sorted, two blanks of
// indentation, no final line feed.
std::string baseManifestJSON(const std::string& base, const std::string& arch, const std::string& version);

// The system tar writing an xz archive of src_dir (member "." and below) to
// out_path, with owners kept as numbers; the attribute options only when
// asked. Every argument is validated first.
util::Error runTarCommand(const std::string& out_path, const std::string& src_dir, bool with_attributes);

}  // namespace builder
