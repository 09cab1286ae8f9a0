// What a program path or argument may hold before this system hands it to
// another program: one list of the characters a shell would give a meaning,
// and the few ways its callers differ (whether a NUL byte may pass, how ".."
// is judged) as a rule each caller names.
#pragma once

#include <string_view>

#include "internal/util/error.h"

namespace util {

// Whether a NUL byte (which would silently cut the text the kernel sees) is
// refused along with the shell's characters.
enum class NulByte { kAllowed, kForbidden };

// How ".." is judged: anywhere in the raw text (a..b as well as ../x), only
// where it survives CleanPath (an absolute path cannot climb above "/"), or
// not at all.
enum class DotDot { kAnywhere, kAfterClean, kAllowed };

struct CommandRule {
  NulByte nul;
  DotDot dots;
};

// Whether a program path or argument holds a character a shell would give a
// meaning (` $ ; & | > < line feed, carriage return), or a NUL byte when
// `nul` forbids it.
bool HasShellMetachar(std::string_view s, NulByte nul);

// Whether `s` breaks `rule`: a shell's character, a NUL byte or a "..".
bool BreaksCommandRule(std::string_view s, CommandRule rule);

// "command path is empty", or "invalid command path: PATH" when the path
// breaks `rule`.
Error ValidateCommandBinary(std::string_view path, CommandRule rule);
// "invalid command argument: ARG" when the argument breaks `rule`; the empty
// argument is allowed.
Error ValidateCommandArg(std::string_view arg, CommandRule rule);

}  // namespace util
