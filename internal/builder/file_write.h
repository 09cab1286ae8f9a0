// Small files the builder writes whole: manifests, sidecars, signatures.
#pragma once

#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace builder {

// Creates or truncates `path` (0644 before the umask; a link there is not
// followed) and writes `content`: "open PATH: ...", "write PATH: ...".
util::Error WriteFile0644(const std::string& path, std::string_view content);

}  // namespace builder
