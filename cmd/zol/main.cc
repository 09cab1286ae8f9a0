#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

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

}  // namespace

int main(int argc, char** argv) {
  HoldStandardDescriptors();
  // Output that nobody reads any more (a pager quit early) is a failed write
  // to ignore, not a reason to die halfway through an install. Programs we
  // start get the default action back.
  ::signal(SIGPIPE, SIG_IGN);
  return cli::Run(argc, argv);
}
