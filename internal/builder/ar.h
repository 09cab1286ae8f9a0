// Reader of ar containers, the outer layer of a Debian package.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "internal/util/error.h"

namespace builder {

// Largest member accepted, in bytes.
inline constexpr int64_t kArMemberLimit = 104857600;

struct ArFile {
  std::string Name;  // trailing blanks, then trailing "/", removed
  int64_t Size = 0;  // equals Data.size()
  std::string Data;
};

// Reads the whole container at `path`. No member name is special: the symbol
// table "/" and the long-name table "//" come back under the empty name; a
// later member replaces an earlier one of the same name. Failures: "read ar
// file: %w", "not an ar archive", "invalid size in ar header: %s", "ar entry
// %s exceeds size limit", "ar entry %s exceeds file bounds".
util::Result<std::map<std::string, ArFile>> ParseAr(const std::string& path);

}  // namespace builder
