#include "internal/db/installed.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <thread>

#include "internal/testing/require.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/json_reader.h"
#include "internal/util/paths.h"
#include "internal/util/tempdir.h"

namespace db {
namespace {

class Registry : public ::testing::Test {
 protected:
  void SetUp() override {
    old_umask_ = ::umask(022);
    auto d = util::TempDir::Make("zol-db-test-");
    ASSERT_TRUE(d.ok()) << d.error().message();
    dir_.emplace(std::move(*d));
    path_ = dir_->path() + "/var/db/installed.json";
  }
  void TearDown() override { ::umask(old_umask_); }

  std::unique_ptr<Database> Load() {
    auto db = LoadDB(path_);
    EXPECT_TRUE(db.ok()) << db.error().message();
    return db.ok() ? std::move(*db) : nullptr;
  }
  std::string Read(const std::string& p) {
    auto r = util::ReadFile(p);
    EXPECT_TRUE(r.ok()) << r.error().message();
    return r.ok() ? *r : "";
  }
  void Write(const std::string& text) {
    ASSERT_TRUE(util::EnsureDir(util::DirName(path_)).ok());
    ASSERT_TRUE(util::WriteFile(path_, text, 0640).ok());
  }
  static mode_t Mode(const std::string& p) {
    struct stat st;
    if (::stat(p.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
  }
  static std::vector<std::string> Ids(const Database& db) {
    std::vector<std::string> ids;
    for (const InstalledApp& a : db.ListApps()) ids.push_back(a.ID);
    return ids;
  }

  mode_t old_umask_ = 0;
  std::optional<util::TempDir> dir_;
  std::string path_;
};

InstalledApp App(std::string id, std::string version = "1.0") {
  InstalledApp a;
  a.ID = std::move(id);
  a.Name = a.ID + " app";
  a.Version = std::move(version);
  a.Arch = "x86_64";
  a.Base = "ubuntu24.04";
  a.InstallPath = "/opt/zol/apps/" + a.ID + "/" + a.Version;
  a.Status = "installed";
  a.InstalledAt.unix_seconds = 1741080030;  // 2025-03-04T09:20:30Z
  return a;
}

TEST_F(Registry, FileFormatIsExact) {
  auto db = Load();
  InstalledApp first = App("org.ex.tools");
  first.Name = "Tools & <More>";
  InstalledApp second = App("b", "2");
  second.Kind = "cli";
  second.InstalledAt.nanos = 500000000;
  second.InstalledAt.offset_seconds = 3600;
  ASSERT_TRUE(db->AddApp(first).ok());
  ASSERT_TRUE(db->AddApp(second).ok());

  EXPECT_EQ(Read(path_),
            "[\n"
            "  {\n"
            "    \"id\": \"org.ex.tools\",\n"
            "    \"name\": \"Tools \\u0026 \\u003cMore\\u003e\",\n"
            "    \"version\": \"1.0\",\n"
            "    \"arch\": \"x86_64\",\n"
            "    \"base\": \"ubuntu24.04\",\n"
            "    \"kind\": \"\",\n"
            "    \"install_path\": \"/opt/zol/apps/org.ex.tools/1.0\",\n"
            "    \"status\": \"installed\",\n"
            "    \"installed_at\": \"2025-03-04T09:20:30Z\"\n"
            "  },\n"
            "  {\n"
            "    \"id\": \"b\",\n"
            "    \"name\": \"b app\",\n"
            "    \"version\": \"2\",\n"
            "    \"arch\": \"x86_64\",\n"
            "    \"base\": \"ubuntu24.04\",\n"
            "    \"kind\": \"cli\",\n"
            "    \"install_path\": \"/opt/zol/apps/b/2\",\n"
            "    \"status\": \"installed\",\n"
            "    \"installed_at\": \"2025-03-04T10:20:30.5+01:00\"\n"
            "  }\n"
            "]");
  EXPECT_EQ(Mode(path_), 0640u);

  // What was written reads back as it was, "&" included.
  auto again = Load();
  EXPECT_EQ(again->ListApps(), (std::vector<InstalledApp>{first, second}));
}

TEST_F(Registry, FirstSaveCreatesDirectoriesAndNoBackup) {
  auto db = Load();
  EXPECT_TRUE(db->ListApps().empty());
  EXPECT_FALSE(db->GetApp("a").has_value());
  ASSERT_TRUE(db->AddApp(App("a")).ok());
  EXPECT_TRUE(util::Exists(path_));
  EXPECT_FALSE(util::Exists(path_ + ".bak"));
  // Nothing of the save's own is left beside the registry.
  EXPECT_FALSE(util::Exists(path_ + ".new"));
}

TEST_F(Registry, BackupHoldsThePreviousFile) {
  auto db = Load();
  ASSERT_TRUE(db->AddApp(App("a")).ok());
  ASSERT_TRUE(db->AddApp(App("b")).ok());
  std::string before = Read(path_);
  ASSERT_TRUE(db->AddApp(App("a", "2.0")).ok());
  EXPECT_EQ(Read(path_ + ".bak"), before);
  EXPECT_EQ(Mode(path_ + ".bak"), 0640u);

  // A replaced record keeps its position and has every field replaced.
  EXPECT_EQ(Ids(*db), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(*Load()->GetApp("a"), App("a", "2.0"));
}

TEST_F(Registry, SaveKeepsTheFilesModeAndLink) {
  Write("[]");
  ASSERT_EQ(::chmod(path_.c_str(), 0600), 0);
  ASSERT_TRUE(Load()->AddApp(App("a")).ok());
  EXPECT_EQ(Mode(path_), 0600u);

  // An administrator's link to the registry stays a link to it.
  std::string real = dir_->path() + "/real.json";
  ASSERT_TRUE(util::WriteFile(real, "[]", 0640).ok());
  ASSERT_TRUE(util::RemoveAll(path_).ok());
  ASSERT_EQ(::symlink(real.c_str(), path_.c_str()), 0);
  ASSERT_TRUE(Load()->AddApp(App("b")).ok());
  struct stat st;
  ASSERT_EQ(::lstat(path_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_NE(Read(real).find("\"b\""), std::string::npos);
}

TEST_F(Registry, AddReplacesTheFirstRecordWithTheId) {
  // Two records with one id exist only when written by hand.
  Write(R"([{"id":"a","version":"1"},{"id":"b"},{"id":"a","version":"hidden"}])");
  auto db = Load();
  EXPECT_EQ(db->GetApp("a")->Version, "1");
  ASSERT_TRUE(db->AddApp(App("a", "9")).ok());
  auto apps = Load()->ListApps();
  ASSERT_EQ(apps.size(), 3u);
  EXPECT_EQ(apps[0], App("a", "9"));
  EXPECT_EQ(apps[2].Version, "hidden");
}

TEST_F(Registry, RemoveKeepsOrderAndWritesNothingForAnAbsentId) {
  auto db = Load();
  for (const char* id : {"a", "b", "c"}) ASSERT_TRUE(db->AddApp(App(id)).ok());
  ASSERT_TRUE(db->RemoveApp("b").ok());
  EXPECT_EQ(Ids(*Load()), (std::vector<std::string>{"a", "c"}));

  std::string file = Read(path_), bak = Read(path_ + ".bak");
  struct stat before, after;
  ASSERT_EQ(::stat(path_.c_str(), &before), 0);
  EXPECT_TRUE(db->RemoveApp("B").ok());  // ids match case-sensitively
  ASSERT_EQ(::stat(path_.c_str(), &after), 0);
  EXPECT_EQ(before.st_ino, after.st_ino);
  EXPECT_EQ(Read(path_), file);
  EXPECT_EQ(Read(path_ + ".bak"), bak);

  ASSERT_TRUE(db->RemoveApp("a").ok());
  ASSERT_TRUE(db->RemoveApp("c").ok());
  EXPECT_EQ(Read(path_), "[]");
}

TEST_F(Registry, ReturnedRecordsAreCopies) {
  auto db = Load();
  ASSERT_TRUE(db->AddApp(App("a")).ok());
  auto got = db->GetApp("a");
  got->InstallPath = "/elsewhere";
  auto list = db->ListApps();
  list[0].Name = "changed";
  EXPECT_EQ(*db->GetApp("a"), App("a"));
}

TEST_F(Registry, LoadsWhatOtherWritersProduce) {
  struct Case {
    const char* text;
    std::vector<std::string> ids;
  };
  const Case cases[] = {
      {"", {}},
      {"null", {}},
      {"[]", {}},
      {R"([{"ID":"x","Install_Path":"/p","unknown":{"deep":[1]}}, null])", {"x", ""}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Write(c.text);
    auto db = Load();
    ASSERT_NE(db, nullptr);
    EXPECT_EQ(Ids(*db), c.ids);
  }
  EXPECT_EQ(Load()->GetApp("x")->InstallPath, "/p");
}

TEST_F(Registry, UndecodableFileFailsAndStaysUntouched) {
  struct Case {
    const char* text;
    const char* error;  // nullptr: the parser's own message for the text
  };
  const Case cases[] = {
      {"not json", nullptr},
      {"[{\"id\":\"a\"}", nullptr},
      {R"({"id":"a"})", "json: cannot unmarshal object into value of type []InstalledApp"},
      {R"([{"id":5}])", "json: cannot unmarshal number into field InstalledApp.id of type string"},
      {R"([{"id":"a","installed_at":"2025-02-30T00:00:00Z"}])", "parsing time"},
      {R"([{"id":"a","installed_at":"yesterday"}])", "parsing time"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Write(c.text);
    auto db = LoadDB(path_);
    ASSERT_FALSE(db.ok());
    if (c.error == nullptr) {
      auto parsed = util::json::Parse(c.text);
      ASSERT_FALSE(parsed.ok());
      EXPECT_EQ(db.error().message(), parsed.error().message());
    } else {
      EXPECT_EQ(db.error().message().rfind(c.error, 0), 0u) << db.error().message();
    }
    EXPECT_EQ(Read(path_), c.text);
    EXPECT_FALSE(util::Exists(path_ + ".bak"));
  }

  ASSERT_TRUE(util::RemoveAll(path_).ok());
  ASSERT_TRUE(util::EnsureDir(path_).ok());
  auto db = LoadDB(path_);
  ASSERT_FALSE(db.ok());
  EXPECT_EQ(db.error().message(), "read " + path_ + ": is a directory");
}

// Large registries take their own read; their size bounds hold there too.
TEST_F(Registry, LargeRegistriesLoadWithinTheirBounds) {
  std::vector<InstalledApp> apps;
  for (int i = 0; i < 6000; ++i) apps.push_back(App("com.example.app" + std::to_string(i)));
  apps[7].Name = "a & \"b\" \u00e9";
  apps[8].InstalledAt.nanos = 500000000;
  auto text = EncodeApps(apps);
  ASSERT_TRUE(text.ok());
  ASSERT_GT(text->size(), 1u << 20);
  Write(*text);
  auto db = Load();
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->ListApps(), apps);

  // No registry the system writes within the byte bound holds more records
  // than the record bound, so the record bound refuses only hand-made files
  // whose records would cost many times their bytes.
  auto empty = EncodeApps(std::vector<InstalledApp>(kMaxRecords + 1));
  ASSERT_TRUE(empty.ok());
  EXPECT_GT(empty->size(), kMaxRegistryBytes);

  std::string records = "[";
  for (size_t i = 0; i < kMaxRecords; ++i) records.append(i == 0 ? "{}" : ",{}");
  Write(records + "]");
  db = Load();
  ASSERT_NE(db, nullptr);
  EXPECT_EQ(db->ListApps().size(), kMaxRecords);
  Write(records + ",{}]");
  auto refused = LoadDB(path_);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), "registry holds more than " + std::to_string(kMaxRecords) + " records");

  Write(std::string(kMaxRegistryBytes - 2, ' ').append("[]"));
  EXPECT_NE(Load(), nullptr);
  Write(std::string(kMaxRegistryBytes - 1, ' ').append("[]"));
  refused = LoadDB(path_);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), "read " + path_ + ": file larger than " + std::to_string(kMaxRegistryBytes) + " bytes");
}

TEST_F(Registry, TimeStampsKeepTheirOwnForm) {
  struct Case {
    const char* in;   // installed_at as found in the file; nullptr: key absent
    const char* out;  // as the next save writes it
    int64_t unix_seconds;
    int32_t nanos;
    int32_t offset;
  };
  const Case cases[] = {
      {"2025-03-04T09:20:30Z", "2025-03-04T09:20:30Z", 1741080030, 0, 0},
      {"2025-03-04T10:20:30.5+01:00", "2025-03-04T10:20:30.5+01:00", 1741080030, 500000000, 3600},
      {"2025-03-04T03:50:30.123456789-05:30", "2025-03-04T03:50:30.123456789-05:30", 1741080030,
       123456789, -19800},
      {"2025-03-04T09:20:30.100Z", "2025-03-04T09:20:30.1Z", 1741080030, 100000000, 0},
      {"2025-03-04T09:20:30.000Z", "2025-03-04T09:20:30Z", 1741080030, 0, 0},
      {"2025-03-04T09:20:30+00:00", "2025-03-04T09:20:30Z", 1741080030, 0, 0},
      {nullptr, "0001-01-01T00:00:00Z", util::Time::kZeroUnixSeconds, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.in ? c.in : "(absent)");
    std::string at = c.in ? std::string(",\"installed_at\":\"") + c.in + "\"" : "";
    Write("[{\"id\":\"a\"" + at + "}]");
    auto db = Load();
    util::Time t = db->GetApp("a")->InstalledAt;
    EXPECT_EQ(t.unix_seconds, c.unix_seconds);
    EXPECT_EQ(t.nanos, c.nanos);
    EXPECT_EQ(t.offset_seconds, c.offset);
    ASSERT_TRUE(db->AddApp(App("b")).ok());
    std::string text = Read(path_);
    EXPECT_NE(text.find(std::string("\"installed_at\": \"") + c.out + "\""), std::string::npos) << text;
  }
}

// A save killed at any moment leaves a registry that loads and still holds
// every record it held before.
TEST_F(Registry, KilledSavesNeverLeaveABrokenFile) {
  auto start = std::chrono::steady_clock::now();
  {
    auto db = Load();
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(db->AddApp(App("keep" + std::to_string(i))).ok());
  }
  // Kills spread over about two saves, wherever the disk makes a save slow.
  auto save_us = std::chrono::duration_cast<std::chrono::microseconds>(
                     std::chrono::steady_clock::now() - start).count() / 20;
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int64_t> delay_us(0, std::max<int64_t>(2 * save_us, 500));
  int64_t last_counter = -1;
  int changed = 0;
  for (int trial = 0; trial < 200; ++trial) {
    // The saver says when its first save is done: a slow start (a fork under
    // a sanitizer takes far longer than a save) must not use up the delay.
    int started[2];
    ASSERT_EQ(::pipe2(started, O_CLOEXEC), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(started[0]);
      for (int64_t n = 0;; ++n) {
        auto db = LoadDB(path_);
        if (!db.ok()) ::_exit(2);
        InstalledApp c = App("counter");
        c.InstalledAt.unix_seconds += n + trial * 1000000;
        if (!(*db)->AddApp(c).ok()) ::_exit(3);
        if (n == 0 && (::write(started[1], "s", 1) != 1 || ::close(started[1]) != 0)) ::_exit(4);
      }
    }
    ::close(started[1]);
    char byte;
    while (::read(started[0], &byte, 1) < 0 && errno == EINTR) {
    }
    ::close(started[0]);
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status)) << "saver stopped by itself, status " << status;

    auto db = LoadDB(path_);
    ASSERT_TRUE(db.ok()) << "trial " << trial << ": " << db.error().message();
    ASSERT_GE((*db)->ListApps().size(), 20u) << "trial " << trial;
    for (int i = 0; i < 20; ++i) ASSERT_TRUE((*db)->GetApp("keep" + std::to_string(i))) << trial;
    if (auto c = (*db)->GetApp("counter"); c && c->InstalledAt.unix_seconds != last_counter) {
      last_counter = c->InstalledAt.unix_seconds;
      ++changed;
    }
  }
  // The kills must have hit savers at work, not only savers starting up.
  EXPECT_GT(changed, 20);
}

// Separate processes that each add one record under the lock end with every
// record; without it they would overwrite each other's.
TEST_F(Registry, LockedWritersKeepEachOthersRecords) {
  constexpr int kWriters = 16;
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  std::vector<pid_t> pids;
  for (int i = 0; i < kWriters; ++i) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      ::close(gate[1]);
      char c;
      if (::read(gate[0], &c, 1) != 0) ::_exit(4);  // wait for the start
      auto lock = LockDB(path_);
      if (!lock.ok()) ::_exit(2);
      auto db = LoadDB(path_);
      if (!db.ok()) ::_exit(3);
      // Widen the window between load and save that the lock must cover.
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ::_exit((*db)->AddApp(App("w" + std::to_string(i))).ok() ? 0 : 5);
    }
    pids.push_back(pid);
  }
  ::close(gate[0]);
  ::close(gate[1]);  // all start at once
  for (pid_t pid : pids) {
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  auto db = Load();
  EXPECT_EQ(db->ListApps().size(), static_cast<size_t>(kWriters));
  for (int i = 0; i < kWriters; ++i) EXPECT_TRUE(db->GetApp("w" + std::to_string(i))) << i;
}

TEST_F(Registry, LockIsExclusiveUntilReleased) {
  auto lock = LockDB(path_);
  ASSERT_TRUE(lock.ok()) << lock.error().message();
  EXPECT_EQ(Mode(path_ + ".lock"), 0640u);
  auto try_lock_in_child = [&] {
    pid_t pid = ::fork();
    if (pid == 0) {
      // A second LockDB would block; ask without waiting.
      util::UniqueFd fd(::open((path_ + ".lock").c_str(), O_RDWR | O_CLOEXEC));
      ::_exit(::flock(fd.get(), LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  EXPECT_FALSE(try_lock_in_child());
  { DBLock released = std::move(*lock); }
  EXPECT_TRUE(try_lock_in_child());
}

TEST_F(Registry, FailedBackupLeavesTheRegistryAsItWas) {
  auto db = Load();
  ASSERT_TRUE(db->AddApp(App("a")).ok());
  std::string before = Read(path_);
  ASSERT_TRUE(util::EnsureDir(path_ + ".bak").ok());
  util::Error err = db->AddApp(App("b"));
  EXPECT_EQ(err.message(), "write backup: rename " + path_ + ".bak: is a directory");
  EXPECT_EQ(Read(path_), before);
  // The in-memory list keeps the change.
  EXPECT_TRUE(db->GetApp("b").has_value());
}


// On a full disk the backup costs nothing and the previous one stays whole:
// all a save needs is room for the new registry, and when even that is
// missing the error says how much it takes.
TEST_F(Registry, FullDiskKeepsBackupWholeAndSaysWhatTheRewriteNeeds) {
  ZOL_REQUIRE(::geteuid() == 0, "mounting needs root");
  ASSERT_EQ(::unshare(CLONE_NEWNS), 0);
  ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
  const std::string mnt = dir_->path() + "/var";
  ASSERT_TRUE(util::EnsureDir(mnt).ok());
  ASSERT_EQ(::mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=256k"), 0);
  struct Unmount {
    std::string path;
    ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
  } unmount{mnt};
  auto db = Load();
  ASSERT_TRUE(db->AddApp(App("a")).ok());
  ASSERT_TRUE(db->AddApp(App("b")).ok());
  const std::string before = Read(path_);
  auto fill = [&](const std::string& name, off_t leave) {
    util::UniqueFd fd(::open((mnt + "/" + name).c_str(), O_WRONLY | O_CREAT, 0644));
    ASSERT_TRUE(fd.valid());
    const std::string block(4096, 'f');
    while (::write(fd.get(), block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(::ftruncate(fd.get(), ::lseek(fd.get(), 0, SEEK_CUR) - leave), 0);
  };
  // One page left: the registry's rewrite fits, a copied backup would not.
  fill("fill", 4096);
  util::Error err = db->RemoveApp("a");
  ASSERT_TRUE(err.ok()) << err.message();
  EXPECT_EQ(Read(path_ + ".bak"), before);
  // The previous backup's page came free: take it too, and keep the one the
  // next backup replaces.
  fill("fill2", 0);
  ASSERT_EQ(::link((path_ + ".bak").c_str(), (mnt + "/held").c_str()), 0);
  const std::string kept = Read(path_);
  err = db->RemoveApp("b");
  EXPECT_TRUE(err.Is(ENOSPC)) << err.message();
  EXPECT_NE(err.message().find("rewriting the registry needs 2 bytes on " + mnt + "/db, "), std::string::npos)
      << err.message();
  EXPECT_EQ(Read(path_), kept);
  EXPECT_EQ(Read(path_ + ".bak"), kept);
}

}  // namespace
}  // namespace db
