#include "tests/harness.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace e2e {

namespace {

std::vector<char*> CStrings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  for (const auto& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

}  // namespace

RunResult RunArgv(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                  const std::string& input, const std::string& cwd) {
  int in[2], out[2], err[2];
  if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) throw std::runtime_error("pipe");
  auto cargv = CStrings(argv);
  auto cenv = CStrings(env);
  fflush(stdout);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(in[0], 0);
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    if (argv[0].find('/') == std::string::npos) {
      // Resolve through the child's PATH like a shell would.
      for (const auto& e : env) {
        if (e.rfind("PATH=", 0) == 0) setenv("PATH", e.c_str() + 5, 1);
      }
      execvpe(cargv[0], cargv.data(), cenv.data());
    } else {
      execve(cargv[0], cargv.data(), cenv.data());
    }
    _exit(127);
  }
  close(in[0]);
  close(out[1]);
  close(err[1]);
  RunResult r;
  size_t written = 0;
  if (input.empty()) {
    close(in[1]);
    in[1] = -1;
  }
  struct pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {in[1], POLLOUT, 0}};
  int open_reads = 2;
  char buf[65536];
  while (open_reads > 0 || fds[2].fd >= 0) {
    if (poll(fds, 3, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd >= 0 && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))) {
        ssize_t n = read(fds[i].fd, buf, sizeof buf);
        if (n <= 0) {
          close(fds[i].fd);
          fds[i].fd = -1;
          --open_reads;
        } else {
          (i == 0 ? r.out : r.err).append(buf, static_cast<size_t>(n));
        }
      }
    }
    if (fds[2].fd >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = write(fds[2].fd, input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<size_t>(n);
      if (n <= 0 || written == input.size()) {
        close(fds[2].fd);
        fds[2].fd = -1;
      }
    }
  }
  int status = 0;
  struct rusage usage {};
  while (wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  r.cpu_seconds = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                  static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
  r.max_rss_kib = usage.ru_maxrss;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return r;
}

RunResult Sh(const std::string& script) {
  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) env.emplace_back(*e);
  return RunArgv({"/bin/sh", "-c", script}, env);
}

std::string ShOut(const std::string& script) {
  RunResult r = Sh(script);
  EXPECT_EQ(r.status, 0) << script << "\n" << r.err;
  return r.out;
}

std::string Q(const std::string& s) { return "'" + s + "'"; }

bool PathExists(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0;
}

mode_t ModeOf(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 ? st.st_mode : 0;
}

bool IsDir(const std::string& path) { return S_ISDIR(ModeOf(path)); }

bool EnterOwnMountNamespace() {
  return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < text.size()) {
    size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    out.push_back(text.substr(start, nl - start));
    start = nl + 1;
  }
  return out;
}

::testing::AssertionResult InOrder(const std::string& text, const std::vector<std::string>& parts) {
  size_t at = 0;
  for (const std::string& part : parts) {
    const size_t found = text.find(part, at);
    if (found == std::string::npos) return ::testing::AssertionFailure() << part << "\n" << text;
    at = found;
  }
  return ::testing::AssertionSuccess();
}

std::string ZolBin() {
  const char* b = std::getenv("ZOL_BIN");
  if (b != nullptr && *b != '\0') return b;
  return std::string(ZOL_BINARY_DIR) + "/zol-cli";
}

Sandbox::Sandbox() {
  const char* base = std::getenv("ZOL_TEST_TMP");
  std::string tmpl = std::string(base != nullptr && *base ? base : "/tmp") + "/zol-e2e-XXXXXX";
  if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp");
  root = tmpl;
  app_dir = root + "/apps";
  runtime_dir = root + "/runtimes";
  db_file = root + "/db/installed.json";
  log_dir = root + "/log";
  audit_dir = root + "/audit";
  metrics_path = root + "/metrics.prom";
  tmp = root + "/tmp";
  home = root + "/home";
  mkdir(tmp.c_str(), 0755);
  mkdir(home.c_str(), 0755);
}

Sandbox::~Sandbox() {
  // The audit file may carry the append-only attribute; clear every such
  // attribute first or the tree cannot be removed.
  Sh("chattr -R -a -i '" + root + "' >/dev/null 2>&1; rm -rf --one-file-system '" + root + "'");
}

std::vector<std::string> Sandbox::Env(const std::map<std::string, std::string>& extra) const {
  std::map<std::string, std::string> m = {
      {"PATH", "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"},
      {"DRAV_APP_DIR", app_dir},
      {"DRAV_RUNTIME_DIR", runtime_dir},
      {"DRAV_DB_FILE", db_file},
      {"DRAV_LOG_DIR", log_dir},
      {"DRAV_AUDIT_DIR", audit_dir},
      {"DRAV_METRICS_PATH", metrics_path},
      {"TMPDIR", tmp},
      {"HOME", home},
      {"USER", "root"},
  };
  for (const auto& [k, v] : extra) m[k] = v;
  std::vector<std::string> env;
  for (const auto& [k, v] : m) env.push_back(k + "=" + v);
  return env;
}

RunResult Sandbox::Zol(const std::vector<std::string>& args, const std::map<std::string, std::string>& extra,
                       const std::string& input) const {
  std::vector<std::string> argv = {ZolBin()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunArgv(argv, Env(extra), input);
}

RunResult ShWithStandIns(const Sandbox& sb, const std::string& body, const StandIns& opts) {
  const std::string s = sb.root + "/standin";
  const std::string script =
      "set -e; export S=" + Q(s) + "; mkdir -p \"$S/home/user\" \"$S/run\"\n"
      "echo mine > \"$S/home/user/keep\"; touch \"$S/home/.standin\"\n"
      "echo STANDIN-SHADOW-7f3a > \"$S/shadow\"; echo STANDIN-SHADOW-7f3a > \"$S/gshadow\"\n"
      "echo 'nameserver 192.0.2.53' > \"$S/resolv.conf\"\n"
      // A binary under /home (a checkout there) would be hidden by the
      // stand-in: the run then uses a copy beside the stand-ins.
      "case \"$ZOL\" in /home/*) cp \"$ZOL\" \"$S/zol-cli\"; export ZOL=\"$S/zol-cli\";; esac\n"
      "exec unshare -m sh -c '\n"
      "set -e; [ -n \"$S\" ]\n"
      "mount --make-rprivate /\n"
      "mount --bind \"$S/home\" /home\n" +
      std::string(opts.run_on_tmpfs ? "mount -t tmpfs none /run\n" : "mount --bind \"$S/run\" /run\n") +
      "mount --bind \"$S/shadow\" /etc/shadow\n"
      "mount --bind \"$S/gshadow\" /etc/gshadow\n"
      "mount --bind \"$S/resolv.conf\" /etc/resolv.conf\n"
      "test -f /home/.standin\n"  // never the real /home
      "set +e\n"
      "b=$ZOL_STANDIN_BODY; unset ZOL_STANDIN_BODY; eval \"$b\"'";
  std::map<std::string, std::string> env = opts.env;
  env["ZOL"] = ZolBin();
  env["ZOL_STANDIN_BODY"] = body;
  return RunArgv({"/bin/sh", "-c", script}, sb.Env(env));
}

RunResult ZolWithStandIns(const Sandbox& sb, const std::vector<std::string>& args, const StandIns& opts) {
  // Nothing of the stand-ins' own reaches the program's environment.
  std::string body = "z=$ZOL; unset ZOL S; exec \"$z\"";
  for (const std::string& a : args) {
    if (a.find('\'') != std::string::npos) throw std::invalid_argument("stand-in run argument with a quote: " + a);
    body += ' ';
    body += Q(a);
  }
  return ShWithStandIns(sb, body, opts);
}

}  // namespace e2e
