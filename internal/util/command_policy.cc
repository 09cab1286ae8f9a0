// The command policy: program look-up on PATH, the text of a wait status,
// an environment with one entry set.
#include "internal/util/command_policy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "internal/util/paths.h"
#include "internal/util/strings.h"

extern char** environ;

namespace util {

namespace {

bool IsExecutableFile(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) return false;
  return ::faccessat(AT_FDCWD, path.c_str(), X_OK, AT_EACCESS) == 0;
}

}  // namespace

Result<std::string> LookPath(const std::string& name) {
  if (name.find('/') != std::string::npos) return name;
  const char* path_env = std::getenv("PATH");
  std::string_view path = path_env != nullptr ? path_env : "";
  size_t start = 0;
  // An empty or unset PATH has no elements at all (not one empty element).
  while (!name.empty() && !path.empty()) {
    size_t end = path.find(':', start);
    std::string_view dir = path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    // An empty element is the working directory, as in every shell.
    std::string candidate = JoinPath(dir.empty() ? "." : std::string(dir), name);
    if (IsExecutableFile(candidate)) {
      if (!IsAbs(candidate)) {
        // A program found through "." in PATH would be whatever the current
        // directory holds; refuse it rather than run it by accident.
        return Error::Msg("exec: " + Quote(name) + ": cannot run executable found relative to current directory");
      }
      return candidate;
    }
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return Error::Msg("exec: " + Quote(name) + ": executable file not found in $PATH");
}

std::string SignalText(int sig) {
  const char* d = ::strsignal(sig);
  std::string text = d != nullptr ? d : "";
  if (text.empty()) return Sprintf("signal %d", sig);
  if (text.size() > 1 && std::islower(static_cast<unsigned char>(text[1]))) {
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  }
  return text;
}

Error WaitStatusError(int status) {
  if (WIFEXITED(status)) {
    int code = WEXITSTATUS(status);
    if (code == 0) return Error();
    return Error::Msg(Sprintf("exit status %d", code));
  }
  if (WIFSIGNALED(status)) {
    std::string text = "signal: " + SignalText(WTERMSIG(status));
    if (WCOREDUMP(status)) text += " (core dumped)";
    return Error::Msg(text);
  }
  if (WIFSTOPPED(status)) return Error::Msg("stop signal: " + SignalText(WSTOPSIG(status)));
  return Error::Msg(Sprintf("unknown wait status %d", status));
}

std::vector<std::string> EnvironWith(const std::string& name, const std::string& value) {
  const std::string key = name + "=";
  std::vector<std::string> env;
  for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
    if (std::strncmp(*e, key.c_str(), key.size()) != 0) env.emplace_back(*e);
  }
  env.push_back(key + value);
  return env;
}

}  // namespace util
