#include "internal/util/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <sstream>

#include "internal/testing/files.h"
#include "internal/util/tempdir.h"

namespace util {
namespace {

using testutil::Slurp;

// Sends standard error to a file while in scope.
class CaptureStderr {
 public:
  explicit CaptureStderr(std::string path) : path_(std::move(path)) {
    saved_ = ::dup(2);
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ::dup2(fd, 2);
    ::close(fd);
  }
  ~CaptureStderr() { Restore(); }
  std::string Text() {
    Restore();
    return Slurp(path_);
  }

 private:
  void Restore() {
    if (saved_ >= 0) {
      ::dup2(saved_, 2);
      ::close(saved_);
      saved_ = -1;
    }
  }
  std::string path_;
  int saved_ = -1;
};

TEST(RenderLogContent, PrintsEveryArgumentInItsDefaultForm) {
  const Error cause = Error::Msg("permission denied");
  struct Case {
    std::string format;
    std::vector<LogArg> args;
    std::string want;
  };
  const Case cases[] = {
      {"cgroup v2 mkdir %s: %v", {"/sys/fs/cgroup/zol-7", cause}, "cgroup v2 mkdir /sys/fs/cgroup/zol-7: permission denied"},
      {"100%% done %s", {}, "100%% done %s"},
      {"100%% done", {"x"}, "100% done x"},
      {"%s and %s", {"one"}, "one and %s"},
      {"only %s", {"a", "b"}, "only a b"},
      {"", {"a", 2, true}, "a 2 true"},
      {"[%-10s|%5d|%q|%x]", {"ab", "str", "quoted", "hex"}, "[ab|str|quoted|hex]"},
      {"%d items", {std::string("many")}, "many items"},
      {"before %zebra after", {"X"}, "before Xbra after"},  // "%ze" ends at the verb "e"
      {"%c and more", {"X"}, "X more"},  // "%c and" ends at the "d" of "and"
      {"%w", {cause}, "%w permission denied"},
      {"%c|%p|%U|", {"x"}, "%c|%p|%U| x"},  // c, p, U and w are not verbs
      {"trailing %", {"x"}, "trailing % x"},
      {"%%%s", {"x"}, "%x"},
      {"%5%d", {"x"}, "x"},  // the second "%" is inside the directive
      {"nil: %v %v", {nullptr, Error()}, "nil: <nil> <nil>"},
      {"null C string %s", {static_cast<const char*>(nullptr)}, "null C string <nil>"},
      {"ints %d %d %d", {-5, uint64_t{18446744073709551615ULL}, int64_t{-9223372036854775807LL - 1}},
       "ints -5 18446744073709551615 -9223372036854775808"},
      {"bools %t %v", {false, true}, "bools false true"},
      // No value can end the line and forge one of its own.
      {"Installed %s %s", {"com.x", "1.0\n[WARN] 2026-01-01T00:00:00Z forged\r"},
       "Installed com.x 1.0\\n[WARN] 2026-01-01T00:00:00Z forged\\r"},
      {"", {Error::Msg("a\nb")}, "a\\nb"},
  };
  for (const auto& c : cases) EXPECT_EQ(renderLogContent(c.format, c.args), c.want) << c.format;
}

// The compile-time check of a format must read directives exactly as the
// renderer does, or a correct call would fail to build and a wrong one pass.
static_assert(log_format::CountDirectives("cgroup v2 mkdir %s: %v") == 2);
static_assert(log_format::CountDirectives("100%% done") == 0);
static_assert(log_format::CountDirectives("%%%s") == 1);
static_assert(log_format::CountDirectives("%5%d") == 1);
static_assert(log_format::CountDirectives("%c and more") == 1);
static_assert(log_format::CountDirectives("before %zebra after") == 1);
static_assert(log_format::CountDirectives("%w") == 0);
static_assert(log_format::CountDirectives("%c|%p|%U|") == 0);
static_assert(log_format::CountDirectives("trailing %") == 0);

TEST(WriteLog, SameLineOnStandardErrorAndInTheFile) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  std::string dir = tmp->path() + "/a/b/log";
  ASSERT_TRUE(InitLogging(dir).ok());
  {
    CaptureStderr cap(tmp->path() + "/stderr");
    Warn("cgroup v2 mkdir %s: %v", "/sys/fs/cgroup/zol-7", Error::Errno("mkdir", "/sys/fs/cgroup/zol-7", EACCES));
    Info("Installed %s %s", "com.calderim.app", "1.0");
    Warn("cgroup v2 set memory.max: %v", Error::Msg("write 1\n[WARN] forged"));
    std::string err = cap.Text();
    std::string file = Slurp(dir + "/zol.log");
    EXPECT_EQ(err, file);
    const std::regex line(
        R"(\[WARN\] \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d) cgroup v2 mkdir /sys/fs/cgroup/zol-7: mkdir /sys/fs/cgroup/zol-7: permission denied
\[INFO\] \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d) Installed com.calderim.app 1.0
\[WARN\] \d{4}-\d\d-\d\dT\d\d:\d\d:\d\d(Z|[+-]\d\d:\d\d) cgroup v2 set memory.max: write 1\\n\[WARN\] forged
)");
    EXPECT_TRUE(std::regex_match(file, line)) << file;
  }
  struct stat st;
  ASSERT_EQ(::stat(dir.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777 & ~0022u, 0755u & ~0022u);
  ASSERT_EQ(::stat((dir + "/zol.log").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u & ~static_cast<unsigned>(umask(umask(0))));

  // Appends, never truncates: a second opening keeps the earlier lines.
  ASSERT_TRUE(InitLogging(dir).ok());
  {
    CaptureStderr cap(tmp->path() + "/stderr2");
    Info("again");
  }
  std::string file = Slurp(dir + "/zol.log");
  EXPECT_NE(file.find("Installed"), std::string::npos);
  EXPECT_NE(file.find("again\n"), std::string::npos);
}

TEST(InitLogging, LogFileIsClosedOnExec) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  ASSERT_TRUE(InitLogging(tmp->path()).ok());
  std::string target = tmp->path() + "/zol.log";
  bool found = false;
  for (int fd = 3; fd < 1024; ++fd) {
    char link[4096];
    ssize_t n = ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), link, sizeof link - 1);
    if (n <= 0) continue;
    if (std::string(link, static_cast<size_t>(n)) != target) continue;
    found = true;
    EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC);
  }
  EXPECT_TRUE(found);
}

TEST(InitLogging, ReturnsTheSystemError) {
  auto tmp = TempDir::Make("zol-test-");
  ASSERT_TRUE(tmp.ok());
  std::string file = tmp->path() + "/file";
  std::ofstream(file) << "x";
  ASSERT_EQ(::mkdir((tmp->path() + "/d").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir((tmp->path() + "/d/zol.log").c_str(), 0755), 0);
  struct Case {
    std::string dir, want;
  };
  const Case cases[] = {
      {file + "/log", "mkdir " + file + ": not a directory"},
      {tmp->path() + "/d", "open " + tmp->path() + "/d/zol.log: is a directory"},
  };
  for (const auto& c : cases) {
    Error err = InitLogging(c.dir);
    EXPECT_EQ(err.message(), c.want);
  }
}

}  // namespace
}  // namespace util
