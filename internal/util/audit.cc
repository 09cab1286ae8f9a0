#include "internal/util/audit.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "internal/util/command_policy.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/json_writer.h"
#include "internal/util/log.h"
#include "internal/util/paths.h"
#include "internal/util/process.h"
#include "internal/util/strings.h"
#include "internal/util/timefmt.h"

namespace util {

namespace {

// The open audit file, or -1; opened once by the dispatcher, never closed.
int g_audit_fd = -1;
// Never destroyed: records may be written until the very end of the process.
std::string& AuditPath() {
  static auto* path = new std::string;
  return *path;
}

// Already append-only (the usual case from the second command on): starting
// chattr again would only set what is set, at the price of a fork and exec on
// every invocation. When the flag cannot be read, chattr decides as before.
bool CarriesAppendOnly(int fd) {
  int flags = 0;
  return ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0 && (flags & FS_APPEND_FL) != 0;
}

void MarkAppendOnly(int fd, const std::string& path) {
  if (CarriesAppendOnly(fd)) return;
  auto chattr = LookPath("chattr");
  if (!chattr.ok()) return;
  Command cmd;
  cmd.path = *chattr;
  cmd.args = {"+a", path};
  cmd.stdin_mode = Stdio::kNull;
  cmd.stdout_mode = Stdio::kNull;
  cmd.stderr_mode = Stdio::kNull;
  if (Error err = RunProcess(cmd); !err.ok()) {
    Warn("audit: chattr +a %s: %v (append-only protection unavailable)", path, err);
  }
}

}  // namespace

Error InitAudit(const std::string& dir) {
  ZOL_TRY(MkdirAll(dir, 0750));
  std::string path = JoinPath(dir, "audit.log");
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640);
  if (fd < 0) return Error::Errno("open", path, errno);
  if (g_audit_fd >= 0) ::close(g_audit_fd);
  g_audit_fd = fd;
  AuditPath() = path;
  MarkAppendOnly(fd, path);
  return Error();
}

std::string currentUser() {
  for (const char* name : {"USER", "LOGNAME"}) {
    const char* v = std::getenv(name);
    if (v != nullptr && *v != '\0') return v;
  }
  return Sprintf("uid=%u", static_cast<unsigned>(::getuid()));
}

std::string encodeAuditEvent(const auditEvent& ev) {
  JsonWriter w;
  w.BeginObject();
  w.Field("event", ev.Event);
  w.Field("timestamp", ev.Timestamp);
  w.Field("user", ev.User);
  if (!ev.PkgName.empty()) w.Field("pkg_name", ev.PkgName);
  if (!ev.Version.empty()) w.Field("version", ev.Version);
  if (!ev.InstallPath.empty()) w.Field("install_path", ev.InstallPath);
  if (!ev.RuntimeID.empty()) w.Field("runtime_id", ev.RuntimeID);
  if (ev.ExitCode.has_value()) w.Field("exit_code", *ev.ExitCode);
  w.EndObject();
  std::string line = w.Take();
  line += '\n';
  return line;
}

namespace {

// Whether the audit file's last byte is anything but a line feed: a record
// that a full disk cut short. The append descriptor cannot be read, so the
// same file is opened again through it.
bool EndsTorn(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_size == 0) return false;
  UniqueFd in(::open(("/proc/self/fd/" + std::to_string(fd)).c_str(), O_RDONLY | O_CLOEXEC));
  char last = '\n';
  return in.valid() && ::pread(in.get(), &last, 1, st.st_size - 1) == 1 && last != '\n';
}

}  // namespace

void writeAudit(auditEvent ev) {
  ev.Timestamp = FormatRFC3339(NowUTC());
  if (ev.User.empty()) ev.User = currentUser();
  std::string line = encodeAuditEvent(ev);
  if (g_audit_fd < 0) return;
  // The file is append-only: a torn record stays for ever. The next one
  // starts on a line of its own, so only the torn line fails to parse.
  if (EndsTorn(g_audit_fd)) line.insert(0, 1, '\n');
  // One write: a second one after a short write would glue the rest of this
  // record onto whatever another writer appended in between.
  ssize_t n;
  do {
    n = ::write(g_audit_fd, line.data(), line.size());
  } while (n < 0 && errno == EINTR);
  if (n == static_cast<ssize_t>(line.size())) return;
  const Error err = n < 0 ? Error::Errno("write", AuditPath(), errno)
                          : Error::Msg(Sprintf("write %s: short write (%zd of %zu bytes)", AuditPath().c_str(), n,
                                               line.size()));
  std::string msg = "audit write failed: " + err.message() + "\n";
  ssize_t ignored = ::write(2, msg.data(), msg.size());
  (void)ignored;
}

void RecordInstall(const std::string& name, const std::string& version, const std::string& installPath) {
  auditEvent ev;
  ev.Event = "PKG_INSTALL";
  ev.PkgName = name;
  ev.Version = version;
  ev.InstallPath = installPath;
  writeAudit(std::move(ev));
}

void RecordUninstall(const std::string& name, const std::string& version) {
  auditEvent ev;
  ev.Event = "PKG_UNINSTALL";
  ev.PkgName = name;
  ev.Version = version;
  writeAudit(std::move(ev));
}

void RecordRun(const std::string& name, const std::string& version, const std::string& runtimeID) {
  auditEvent ev;
  ev.Event = "PKG_RUN";
  ev.PkgName = name;
  ev.Version = version;
  ev.RuntimeID = runtimeID;
  writeAudit(std::move(ev));
}

void RecordRuntimeCreate(const std::string& name, const std::string& runtimeID) {
  auditEvent ev;
  ev.Event = "RUNTIME_CREATE";
  ev.PkgName = name;
  ev.RuntimeID = runtimeID;
  writeAudit(std::move(ev));
}

void RecordRuntimeDestroy(const std::string& name, const std::string& runtimeID, int exitCode) {
  auditEvent ev;
  ev.Event = "RUNTIME_DESTROY";
  ev.PkgName = name;
  ev.RuntimeID = runtimeID;
  ev.ExitCode = exitCode;
  writeAudit(std::move(ev));
}

}  // namespace util
