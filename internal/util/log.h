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
// That renderer is the only one: callers pass their values as arguments,
// never text rendered beforehand, so the escaping of line breaks in values
// (appendLogArg) reaches every value. The format must be a literal whose
// directives match the arguments in number, checked at compile time.
#pragma once

#include <cstddef>
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

namespace log_format {

// The renderer's sixteen verb letters; a directive ends at the first of them.
constexpr bool IsVerb(char c) {
  switch (c) {
    case 'E': case 'F': case 'G': case 'T': case 'X': case 'b': case 'd': case 'e':
    case 'f': case 'g': case 'o': case 'q': case 's': case 't': case 'v': case 'x':
      return true;
    default:
      return false;
  }
}

// For the "%" at `at` (not the format's last byte, not the first of "%%"):
// the index of the verb letter ending its directive, or npos when none
// follows and the "%" is plain text.
constexpr size_t DirectiveEnd(std::string_view format, size_t at) {
  for (size_t i = at + 1; i < format.size(); ++i) {
    if (IsVerb(format[i])) return i;
  }
  return std::string_view::npos;
}

// The directives of `format`, read as the renderer reads them.
constexpr size_t CountDirectives(std::string_view format) {
  size_t n = 0;
  size_t i = 0;
  while (i < format.size()) {
    if (format[i] != '%' || i + 1 == format.size()) {
      ++i;
    } else if (format[i + 1] == '%') {
      i += 2;
    } else if (size_t end = DirectiveEnd(format, i); end == std::string_view::npos) {
      ++i;
    } else {
      ++n;
      i = end + 1;
    }
  }
  return n;
}

// Not constexpr: reaching it in the check below fails the compilation, and
// the compiler names it.
void log_format_directives_do_not_match_arguments();

// A log format for `N` arguments. With no arguments the format is printed
// as it stands, so only a format given arguments is held to its directives.
template <size_t N>
class Format {
 public:
  consteval Format(const char* text) : text_(text) {  // NOLINT: implicit by design
    if (N != 0 && CountDirectives(text_) != N) log_format_directives_do_not_match_arguments();
  }
  std::string_view text() const { return text_; }

 private:
  std::string_view text_;
};

}  // namespace log_format

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
void Info(log_format::Format<sizeof...(A)> format, const A&... args) {
  writeLog("INFO", format.text(), std::vector<LogArg>{LogArg(args)...});
}

template <class... A>
void Warn(log_format::Format<sizeof...(A)> format, const A&... args) {
  writeLog("WARN", format.text(), std::vector<LogArg>{LogArg(args)...});
}

}  // namespace util
