// Lexical path handling with the semantics of slash-separated clean paths:
// no file system access, no links followed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace util {

// The shortest equivalent path: repeated "/" folded, "." elements dropped,
// "x/.." pairs removed, ".." at the root of an absolute path dropped; "" -> ".".
std::string CleanPath(std::string_view path);

// The non-empty elements joined by "/" and cleaned; all empty -> "".
std::string JoinPath(std::initializer_list<std::string_view> elems);
std::string JoinPath(std::string_view a, std::string_view b);

// The last element ("" -> ".", all slashes -> "/"); trailing slashes ignored.
std::string BaseName(std::string_view path);
// All but the last element, cleaned ("" and "x" -> ".").
std::string DirName(std::string_view path);
// The suffix from the last "." in the last element, or "".
std::string Ext(std::string_view path);
bool IsAbs(std::string_view path);

// The absolute form of path: joined with the working directory when relative,
// then cleaned.
std::string AbsPath(std::string_view path);

bool HasPrefix(std::string_view s, std::string_view prefix);
bool HasSuffix(std::string_view s, std::string_view suffix);

}  // namespace util
