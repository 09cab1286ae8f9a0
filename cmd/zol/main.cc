#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>

#include "internal/cli/commands.h"

namespace {

// A descriptor 0, 1 or 2 that the caller left closed would be taken by the
// log or the audit file when they are opened, and then standard output, log
// lines meant for standard error, or a child's output would land in them.
// The null device holds the place instead.
void HoldStandardDescriptors() {
  for (int fd = 0; fd < 3; ++fd) {
    if (::fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // Lands on the lowest free number, which is fd itself. Not close-on-exec:
    // a child inherits it as its own standard stream.
    int got = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (got >= 0 && got != fd) ::close(got);
  }
}

// Written with write(2) alone: after a failed allocation, building a string
// could fail again.
void WriteFatal(const char* text, const char* detail) {
  const char* parts[] = {"[FATAL] ", text, detail, "\n"};
  for (const char* p : parts) {
    size_t n = std::strlen(p);
    while (n > 0) {
      ssize_t w = ::write(2, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return;
      p += w;
      n -= static_cast<size_t>(w);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  HoldStandardDescriptors();
  // Output that nobody reads any more (a pager quit early) is a failed write
  // to ignore, not a reason to die halfway through an install. Programs we
  // start get the default action back.
  ::signal(SIGPIPE, SIG_IGN);
  // Errors travel as values; an exception reaching here is a fault of our
  // own or memory running out. Uncaught, it would abort the process with a
  // core dump and skip every destructor that unmounts, removes a cgroup or
  // a temporary directory; caught, those run and the user reads one line.
  try {
    return cli::Run(argc, argv);
  } catch (const std::bad_alloc&) {
    WriteFatal("cannot allocate memory", "");
  } catch (const std::exception& e) {
    WriteFatal("internal error: ", e.what());
  } catch (...) {
    WriteFatal("internal error: unknown exception", "");
  }
  return 1;
}
