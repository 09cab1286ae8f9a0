#include "internal/util/audit.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

#include "internal/testing/env.h"
#include "internal/util/files.h"
#include "internal/util/json_reader.h"
#include "internal/testing/files.h"
#include "internal/util/tempdir.h"
#include "internal/testing/require.h"

namespace util {
namespace {

using testutil::ScopedEnv;
using testutil::Slurp;

TEST(AuditEvent, KeysInOrderAndEmptyValuesLeftOut) {
  struct Case {
    auditEvent ev;
    std::string want;
  };
  auto ev = [](std::string event, std::string name, std::string version, std::string path, std::string rid,
               std::optional<int64_t> code) {
    auditEvent e;
    e.Event = std::move(event);
    e.Timestamp = "2025-03-04T09:20:30Z";
    e.User = "root";
    e.PkgName = std::move(name);
    e.Version = std::move(version);
    e.InstallPath = std::move(path);
    e.RuntimeID = std::move(rid);
    e.ExitCode = code;
    return e;
  };
  const std::string head = R"({"event":)";
  const Case cases[] = {
      {ev("PKG_INSTALL", "com.calderim.app", "1.0", "/opt/zol/apps/com.calderim.app/1.0", "", std::nullopt),
       R"({"event":"PKG_INSTALL","timestamp":"2025-03-04T09:20:30Z","user":"root","pkg_name":"com.calderim.app","version":"1.0","install_path":"/opt/zol/apps/com.calderim.app/1.0"})"
       "\n"},
      {ev("PKG_UNINSTALL", "com.calderim.base.ubuntu24.04-x86_64", "", "", "", std::nullopt),
       R"({"event":"PKG_UNINSTALL","timestamp":"2025-03-04T09:20:30Z","user":"root","pkg_name":"com.calderim.base.ubuntu24.04-x86_64"})"
       "\n"},
      {ev("RUNTIME_DESTROY", "a&b<c>", "", "", "rt-1", 0),
       R"({"event":"RUNTIME_DESTROY","timestamp":"2025-03-04T09:20:30Z","user":"root","pkg_name":"a\u0026b\u003cc\u003e","runtime_id":"rt-1","exit_code":0})"
       "\n"},
      {ev("RUNTIME_DESTROY", "x", "", "", "rt-2", -1),
       R"({"event":"RUNTIME_DESTROY","timestamp":"2025-03-04T09:20:30Z","user":"root","pkg_name":"x","runtime_id":"rt-2","exit_code":-1})"
       "\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(encodeAuditEvent(c.ev), c.want);
}

TEST(CurrentUser, FallsBackFromUserToLognameToUid) {
  struct Case {
    const char* user;
    const char* logname;
    std::string want;
  };
  const std::string uid = "uid=" + std::to_string(getuid());
  const Case cases[] = {
      {"alice", "bob", "alice"},
      {"", "bob", "bob"},
      {nullptr, "bob", "bob"},
      {"", "", uid},
      {nullptr, nullptr, uid},
  };
  for (const auto& c : cases) {
    ScopedEnv env;
    env.Set("USER", c.user);
    env.Set("LOGNAME", c.logname);
    EXPECT_EQ(currentUser(), c.want);
  }
}

// A directory holding a fake "chattr" and nothing else, for PATH.
std::string FakeChattr(const std::string& dir, const std::string& body) {
  std::string bin = dir + "/bin";
  ::mkdir(bin.c_str(), 0755);
  std::ofstream(bin + "/chattr") << "#!/bin/sh\n" << body << "\n";
  ::chmod((bin + "/chattr").c_str(), 0755);
  return bin;
}

TEST(InitAudit, RecordsWithTimestampAndUserAppendedToTheFile) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  ScopedEnv env;
  env.Set("USER", "auditor");
  // The fake chattr shows how it was called.
  env.Set("PATH", FakeChattr(tmp->path(), "echo \"$@\" > " + tmp->path() + "/chattr-args").c_str());
  std::string dir = tmp->path() + "/var/audit";
  ASSERT_TRUE(InitAudit(dir).ok());
  EXPECT_EQ(Slurp(tmp->path() + "/chattr-args"), "+a " + dir + "/audit.log\n");

  RecordInstall("com.calderim.app", "1.0", "/opt/zol/apps/com.calderim.app/1.0");
  RecordUninstall("com.calderim.app", "1.0");
  RecordRun("com.calderim.app", "1.0", "rt");
  RecordRuntimeCreate("com.calderim.app", "rt");
  RecordRuntimeDestroy("com.calderim.app", "rt", 0);
  const std::string ts = R"("timestamp":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ","user":"auditor")";
  const std::regex want(
      R"(\{"event":"PKG_INSTALL",)" + ts + R"(,"pkg_name":"com.calderim.app","version":"1.0","install_path":"/opt/zol/apps/com.calderim.app/1.0"\}
\{"event":"PKG_UNINSTALL",)" + ts + R"(,"pkg_name":"com.calderim.app","version":"1.0"\}
\{"event":"PKG_RUN",)" + ts + R"(,"pkg_name":"com.calderim.app","version":"1.0","runtime_id":"rt"\}
\{"event":"RUNTIME_CREATE",)" + ts + R"(,"pkg_name":"com.calderim.app","runtime_id":"rt"\}
\{"event":"RUNTIME_DESTROY",)" + ts + R"(,"pkg_name":"com.calderim.app","runtime_id":"rt","exit_code":0\}
)");
  std::string content = Slurp(dir + "/audit.log");
  EXPECT_TRUE(std::regex_match(content, want)) << content;

  struct stat st;
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  const unsigned mask = umask(umask(0));
  EXPECT_EQ(st.st_mode & 0777, 0750u & ~mask);
  ASSERT_EQ(::stat((dir + "/audit.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u & ~mask);
}

TEST(InitAudit, FailedMarkingIsOnlyAWarning) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  ScopedEnv env;
  env.Set("PATH", FakeChattr(tmp->path(), "echo noise; echo more >&2; exit 3").c_str());
  std::string dir = tmp->path() + "/audit";

  int saved = ::dup(2);
  std::string err_path = tmp->path() + "/stderr";
  int fd = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  ::dup2(fd, 2);
  ::close(fd);
  Error err = InitAudit(dir);
  ::dup2(saved, 2);
  ::close(saved);

  EXPECT_TRUE(err.ok());
  // chattr's own output is discarded; only the warning line remains.
  const std::regex want(R"(\[WARN\] \S+ audit: chattr \+a )" + dir +
                        R"(/audit.log: exit status 3 \(append-only protection unavailable\)
)");
  std::string text = Slurp(err_path);
  EXPECT_TRUE(std::regex_match(text, want)) << text;
}

TEST(InitAudit, WithoutChattrNothingIsSaidAndErrorsAreTheSystems) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  ScopedEnv env;
  env.Set("PATH", (tmp->path() + "/empty").c_str());
  EXPECT_TRUE(InitAudit(tmp->path() + "/audit").ok());

  std::string file = tmp->path() + "/file";
  std::ofstream(file) << "x";
  EXPECT_EQ(InitAudit(file + "/audit").message(), "mkdir " + file + ": not a directory");
  ASSERT_EQ(::mkdir((tmp->path() + "/d").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((tmp->path() + "/d/audit.log").c_str(), 0755), 0);
  EXPECT_EQ(InitAudit(tmp->path() + "/d").message(), "open " + tmp->path() + "/d/audit.log: is a directory");
}

// Sets or clears the append-only flag; false when the file system has none.
bool SetAppendOnly(const std::string& path, bool on) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  int flags = 0;
  bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
  flags = on ? (flags | FS_APPEND_FL) : (flags & ~FS_APPEND_FL);
  ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
  ::close(fd);
  return ok;
}

TEST(InitAudit, ChattrStartsOnlyWhenTheFlagIsMissing) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string dir = tmp->path() + "/audit";
  const std::string file = dir + "/audit.log";
  const std::string calls = tmp->path() + "/chattr-calls";
  ScopedEnv env;
  env.Set("PATH", FakeChattr(tmp->path(), "echo \"$@\" >> " + calls).c_str());
  ASSERT_TRUE(InitAudit(dir).ok());
  EXPECT_EQ(Slurp(calls), "+a " + file + "\n") << "a new file is marked";
  ZOL_REQUIRE(SetAppendOnly(file, true), "no append-only flag on this file system");
  struct Unmark {
    std::string path;
    ~Unmark() { SetAppendOnly(path, false); }
  } unmark{file};

  ASSERT_TRUE(InitAudit(dir).ok());
  EXPECT_EQ(Slurp(calls), "+a " + file + "\n") << "the flag is there: no chattr";
  RecordUninstall("com.calderim.app", "1.0");
  EXPECT_NE(Slurp(file).find("PKG_UNINSTALL"), std::string::npos) << "records still append";

  ASSERT_TRUE(SetAppendOnly(file, false));
  ASSERT_TRUE(InitAudit(dir).ok());
  EXPECT_EQ(Slurp(calls), "+a " + file + "\n+a " + file + "\n") << "cleared in between: chattr again";
}


// A full disk cuts a record short. The file is append-only, so the torn line
// stays; what must hold is that no later record is glued onto it.
TEST(InitAudit, RecordTornByAFullDiskIsNeverContinued) {
  ZOL_REQUIRE(::geteuid() == 0, "mounting needs root");
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  const std::string mnt = tmp->path() + "/fs";
  ASSERT_TRUE(EnsureDir(mnt).ok());
  ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=64k"), 0);
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mnt};
  ScopedEnv env("PATH", tmp->path().c_str());  // no chattr
  ASSERT_TRUE(InitAudit(mnt + "/audit").ok());
  RecordInstall("com.calderim.app", "1.0", "/opt/zol/apps/com.calderim.app/1.0");
  // Every page but the audit file's first one taken: records fill that page,
  // one is cut at its end, the rest find no room at all.
  {
    UniqueFd fill(::open((mnt + "/fill").c_str(), O_WRONLY | O_CREAT, 0644));
    ASSERT_TRUE(fill.valid());
    const std::string block(4096, 'f');
    while (::write(fill.get(), block.data(), block.size()) > 0) {
    }
  }
  const std::string file = mnt + "/audit/audit.log";
  for (int i = 0; i < 60; ++i) RecordRun("com.calderim.app", "1.0", "rt-" + std::to_string(i));
  const std::string full = Slurp(file);
  ASSERT_EQ(full.size(), 4096u) << "the page is full to its last byte";
  ASSERT_NE(full.back(), '\n') << "one record was cut short";
  ASSERT_EQ(::unlink((mnt + "/fill").c_str()), 0);
  RecordUninstall("com.calderim.app", "1.0");
  RecordRun("com.calderim.app", "1.0", "after");

  const std::string content = Slurp(file);
  ASSERT_FALSE(content.empty());
  EXPECT_EQ(content.back(), '\n');
  int torn = 0;
  size_t start = 0;
  while (start < content.size()) {
    const size_t nl = content.find('\n', start);
    ASSERT_NE(nl, std::string::npos) << "every line ends in a line feed";
    const std::string line = content.substr(start, nl - start);
    if (!json::Parse(line).ok()) ++torn;
    start = nl + 1;
  }
  EXPECT_EQ(torn, 1) << content;
  EXPECT_NE(content.find("\n{\"event\":\"PKG_UNINSTALL\""), std::string::npos) << content;
}

}  // namespace
}  // namespace util
