#include "internal/builder/interrupt.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>

#include "internal/util/command_policy.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/transient.h"

namespace builder {
namespace {

// The child's last record: its result.
constexpr char kResultOk = 'O';
constexpr char kResultError = 'E';

util::Error SendRecord(int fd, char op, const std::string& text) {
  std::string rec(1, op);
  uint32_t n = static_cast<uint32_t>(text.size());
  rec.append(reinterpret_cast<const char*>(&n), sizeof n);
  rec += text;
  return util::WriteAll(fd, rec, "build result");
}

// The worker's parent is gone (killed, say): the worker ends, and with it
// every program it started, which share its process group.
void OnParentGone(int) { ::kill(0, SIGKILL); }

// What the parent learns from the child's records.
struct Reports {
  std::set<std::string> made;
  bool finished = false;
  util::Error result;
  std::string pending;

  void Take(const char* data, size_t len) {
    pending.append(data, len);
    size_t at = 0;
    while (pending.size() - at >= 5) {
      uint32_t n = 0;
      std::memcpy(&n, pending.data() + at + 1, sizeof n);
      if (pending.size() - at - 5 < n) break;
      const char op = pending[at];
      std::string text = pending.substr(at + 5, n);
      at += 5 + n;
      if (op == '+') {
        made.insert(std::move(text));
      } else if (op == '-') {
        made.erase(text);
      } else {
        finished = true;
        result = op == kResultOk ? util::Error() : util::Error::Msg(std::move(text));
      }
    }
    pending.erase(0, at);
  }

  // Reads until the child's end of the pipe is closed; false on EOF.
  bool ReadSome(int fd) {
    char buf[4096];
    for (;;) {
      ssize_t n = ::read(fd, buf, sizeof buf);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      Take(buf, static_cast<size_t>(n));
      return true;
    }
  }
};

std::string SignalName(int sig) {
  std::string name = ::strsignal(sig);
  for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return name;
}

[[noreturn]] void RunChild(const std::function<util::Error()>& build, int report_fd, const sigset_t& old_mask,
                           pid_t parent) {
  ::setpgid(0, 0);
  // A worker that outlived its parent would write the package after the
  // command had ended. The parent may have died before the request was made:
  // hence the check after it.
  struct sigaction gone {};
  gone.sa_handler = OnParentGone;
  ::sigaction(SIGUSR2, &gone, nullptr);
  if (::prctl(PR_SET_PDEATHSIG, SIGUSR2) != 0 || ::getppid() != parent) OnParentGone(0);
  ::pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  util::SetTransientSink(report_fd);
  util::Error e = build();
  util::SetTransientSink(-1);
  const bool sent = SendRecord(report_fd, e.ok() ? kResultOk : kResultError, e.ok() ? std::string() : e.message()).ok();
  std::fflush(nullptr);
  ::_exit(e.ok() && sent ? 0 : 1);
}

}  // namespace

util::Error RunTrappingSignals(const std::function<util::Error()>& build, bool mirror_death) {
  sigset_t trapped, old_mask;
  sigemptyset(&trapped);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&trapped, s);
  if (int rc = ::pthread_sigmask(SIG_BLOCK, &trapped, &old_mask); rc != 0) {
    return util::Error::Sys("sigprocmask", rc);
  }
  // Blocked signals queue for the signalfd; one ignored (as a shell does
  // for a command it starts in the background) would be dropped instead, so
  // the default action is set while the trap lasts. It never runs: the
  // signals stay blocked until the old dispositions are back.
  struct Restore {
    const sigset_t& mask;
    struct sigaction old[3];
    ~Restore() {
      int i = 0;
      for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &old[i++], nullptr);
      ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
    }
  } restore{old_mask, {}};
  {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    int i = 0;
    for (int s : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(s, &dfl, &restore.old[i++]);
  }

  util::UniqueFd signals(::signalfd(-1, &trapped, SFD_CLOEXEC));
  if (!signals.valid()) return util::Error::Sys("signalfd", errno);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return util::Error::Sys("pipe", errno);
  util::UniqueFd reports_in(fds[0]), reports_out(fds[1]);

  std::fflush(nullptr);  // nothing buffered is written twice
  const pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) return util::Error::Sys("fork", errno);
  if (pid == 0) {
    reports_in.Reset();
    signals.Reset();
    RunChild(build, reports_out.get(), old_mask, parent);
  }
  ::setpgid(pid, pid);  // also here, so a signal right away finds the group
  reports_out.Reset();

  Reports reports;
  int caught = 0;
  bool open = true;
  while (open && caught == 0) {
    struct pollfd p[2] = {{signals.get(), POLLIN, 0}, {reports_in.get(), POLLIN, 0}};
    if (::poll(p, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (p[0].revents & POLLIN) {
      struct signalfd_siginfo info;
      if (::read(signals.get(), &info, sizeof info) == sizeof info) caught = static_cast<int>(info.ssi_signo);
    }
    if (caught == 0 && (p[1].revents & (POLLIN | POLLHUP))) open = reports.ReadSome(reports_in.get());
  }

  if (caught != 0) {
    ::kill(-pid, SIGKILL);
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  // What the child reported up to its end.
  while (reports.ReadSome(reports_in.get())) {
  }
  if (caught == 0 && reports.finished) return reports.result;
  // A build that died without a result (killed from outside, say) is
  // cleaned up like an interrupted one. Programs it started may still be
  // finishing a write as they die: wait for the group to be gone (bounded)
  // and retry a removal that raced with one.
  if (caught != 0) {
    for (int i = 0; i < 500 && ::kill(-pid, 0) == 0; ++i) ::usleep(10000);
  }
  for (const std::string& path : reports.made) {
    for (int attempt = 0; attempt < 3 && !util::RemoveAll(path).ok(); ++attempt) ::usleep(20000);
  }
  if (caught != 0) return util::Error::Msg("interrupted by signal: " + SignalName(caught));
  // Without its result the build is not known to have finished, whatever its
  // exit status says; what it made is gone above.
  if (mirror_death && WIFSIGNALED(status)) {
    const int sig = WTERMSIG(status);
    std::fflush(nullptr);
    ::signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    ::pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    ::kill(::getpid(), sig);
  }
  util::Error e = util::WaitStatusError(status);
  if (e.ok()) return util::Error::Msg("build process: ended without reporting its result");
  return e.Wrap("build process");
}

}  // namespace builder
