// The text log: "[LEVEL] <local RFC 3339 time> <text>\n" to standard error and,
// once InitLogging has opened it, appended to "zol.log".
//
// Each line is assembled whole and written with one write per destination,
// so lines logged from two threads never interleave. Logging never fails an
// operation: a write problem is reported on standard error and dropped.
//
// The text is rendered by a small printf-like renderer that prints every
// argument in its default form whatever the directive asks for:
//   Warn("cgroup v2 mkdir %s: %v", path, err);
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "internal/util/error.h"

namespace util {

// One argument of a log line in its default textual form: a string as is, an
// integer in decimal, a boolean as true/false, an error by its message and
// an absent value (nullptr, a null C string, an ok error) as "<nil>".
class LogArg {
 public:
  LogArg(std::nullptr_t) : text_("<nil>") {}  // NOLINT: implicit by design
  LogArg(const char* s) : text_(s != nullptr ? s : "<nil>") {}  // NOLINT
  LogArg(std::string_view s) : text_(s) {}  // NOLINT
  LogArg(const std::string& s) : text_(s) {}  // NOLINT
  LogArg(bool b) : text_(b ? "true" : "false") {}  // NOLINT
  LogArg(const Error& e) : text_(e.ok() ? "<nil>" : e.message()) {}  // NOLINT
  template <class T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool> &&
                                          !std::is_same_v<T, char>, int> = 0>
  LogArg(T v) : text_(std::to_string(v)) {}  // NOLINT

  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

// Creates `dir` (0755, with parents) and opens "zol.log" in it for appending
// (created 0644). The error is the system's, unwrapped; the sink then stays
// closed and lines reach standard error only.
Error InitLogging(const std::string& dir);

// The renderer: directives ("%" up to the next verb letter) take the next
// argument in its default form; unused arguments are appended after a blank.
// With no arguments the format is returned unchanged.
std::string renderLogContent(std::string_view format, const std::vector<LogArg>& args);
void appendLogArg(std::string* out, const LogArg& arg);

// Renders and writes one line at `level`.
void writeLog(std::string_view level, std::string_view format, const std::vector<LogArg>& args);

template <class... A>
void Info(std::string_view format, const A&... args) {
  writeLog("INFO", format, std::vector<LogArg>{LogArg(args)...});
}

template <class... A>
void Warn(std::string_view format, const A&... args) {
  writeLog("WARN", format, std::vector<LogArg>{LogArg(args)...});
}

}  // namespace util
