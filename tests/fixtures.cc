#include "tests/fixtures.h"

#include <sys/stat.h>
#include <unistd.h>

#include "tests/harness.h"

namespace e2e {

std::string BusyboxPath() { return "/bin/busybox"; }

bool MakeBusyboxRootfs(const std::string& dir) {
  if (access(BusyboxPath().c_str(), X_OK) != 0) return false;
  RunResult r = Sh(
      "set -e; d='" + dir + "'; mkdir -p \"$d\"/bin \"$d\"/sbin \"$d\"/usr/bin \"$d\"/usr/sbin \"$d\"/etc "
      "\"$d\"/tmp \"$d\"/var/tmp \"$d\"/root \"$d\"/lib; cp " + BusyboxPath() + " \"$d\"/bin/busybox; "
      "for a in sh ash ls cat echo true false sleep id env mkdir touch stat readlink grep head tail wc "
      "printf test cp mv rm ln chmod pwd uname hostname mount ps kill sed tr cut sort find df du dd "
      "date basename dirname seq yes nproc; do ln -sf busybox \"$d\"/bin/$a; done; "
      "printf 'root:x:0:0:root:/root:/bin/sh\\nnobody:x:65534:65534:nobody:/:/bin/false\\n' > \"$d\"/etc/passwd; "
      "printf 'root:x:0:\\nnogroup:x:65534:\\n' > \"$d\"/etc/group; "
      "printf '127.0.0.1 localhost\\n' > \"$d\"/etc/hosts; chmod 1777 \"$d\"/tmp");
  return r.status == 0;
}

}  // namespace e2e
