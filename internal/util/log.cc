#include "internal/util/log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/timefmt.h"

namespace util {

namespace {

// The open log file, or -1. Opened once by the dispatcher before any other
// thread exists and never closed: the process's exit closes it.
int g_log_fd = -1;

void Fallback(std::string_view what, const Error& err) {
  std::string line = LocalDateTimeForDiagnostics() + " " + std::string(what) + err.message() + "\n";
  WriteAll(2, line, "").IgnoreError();
}

}  // namespace

Error InitLogging(const std::string& dir) {
  ZOL_TRY(MkdirAll(dir, 0755));
  std::string path = JoinPath(dir, "zol.log");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
  if (fd < 0) return Error::Errno("open", path, errno);
  if (g_log_fd >= 0) ::close(g_log_fd);
  g_log_fd = fd;
  return Error();
}

void appendLogArg(std::string* out, const LogArg& arg) {
  // A line feed or carriage return in a value (a package's version, a
  // path) would end the line and let the value write lines of its own.
  for (char c : arg.text()) {
    if (c == '\n') {
      out->append("\\n");
    } else if (c == '\r') {
      out->append("\\r");
    } else {
      out->push_back(c);
    }
  }
}

std::string renderLogContent(std::string_view format, const std::vector<LogArg>& args) {
  if (args.empty()) return std::string(format);
  std::string out;
  size_t next = 0;
  size_t i = 0;
  while (i < format.size()) {
    char c = format[i];
    if (c != '%' || i + 1 == format.size()) {
      out.push_back(c);
      ++i;
      continue;
    }
    if (format[i + 1] == '%') {
      out.push_back('%');
      i += 2;
      continue;
    }
    const size_t verb = log_format::DirectiveEnd(format, i);
    if (verb == std::string_view::npos) {
      out.push_back('%');
      ++i;
      continue;
    }
    if (next < args.size()) {
      appendLogArg(&out, args[next++]);
    } else {
      out.append(format.substr(i, verb - i + 1));
    }
    i = verb + 1;
  }
  for (; next < args.size(); ++next) {
    if (!out.empty()) out.push_back(' ');
    appendLogArg(&out, args[next]);
  }
  return out;
}

void writeLog(std::string_view level, std::string_view format, const std::vector<LogArg>& args) {
  std::string line = "[";
  line += level;
  line += "] ";
  std::string text = renderLogContent(format, args);
  line += FormatRFC3339(Now());
  line += ' ';
  line += text;
  line += '\n';
  if (Error err = WriteAll(2, line, ""); !err.ok()) Fallback("log stderr write failed: ", err);
  if (g_log_fd >= 0) {
    if (Error err = WriteAll(g_log_fd, line, ""); !err.ok()) Fallback("log file write failed: ", err);
  }
}

}  // namespace util
