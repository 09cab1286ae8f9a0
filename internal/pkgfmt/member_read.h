// Reading one member of a package without unpacking it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "internal/util/error.h"

namespace pkgfmt {

// The content of the member the extractor would keep for `name` (one leading
// "./" dropped; the last of several members of that name wins), read with
// the same gzip and tar rules as the extractor; nullopt when there is none.
// A member larger than `max_bytes` is an error, so a crafted package cannot
// make the reader hold more.
util::Result<std::optional<std::string>> ReadLastMember(const std::string& package, const std::string& name,
                                                        size_t max_bytes);

}  // namespace pkgfmt
