// Reading a mount table as /proc/<pid>/mountinfo writes it.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace util {

// A mountinfo field with its escapes undone: the kernel writes a blank, tab,
// line feed and backslash as a backslash and three octal digits ("\040").
// Only a byte's value (\000 to \377) is an escape; any other backslash is
// itself.
std::string UnescapeMountInfo(std::string_view field);

// The mount points of the table text `mountinfo` at or below `dir` (whole
// path components: "/a" is not below "/ab"), in the table's order. Lines too
// short to hold a mount point are skipped.
std::vector<std::string> MountPointsAtOrBelow(std::string_view mountinfo, const std::string& dir);

}  // namespace util
