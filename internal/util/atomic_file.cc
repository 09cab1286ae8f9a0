#include "internal/util/atomic_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/paths.h"
#include "internal/util/transient.h"

namespace util {

bool IsTempName(std::string_view name, std::string_view base) {
  std::string prefix(1, '.');
  prefix.append(base).append(".tmp");
  if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) return false;
  for (char c : name.substr(prefix.size())) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

void RemoveIfUnheld(const std::string& path) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return;
  // A writer holds its file locked until it is renamed into place: only
  // what a killed writer left can be locked here.
  struct stat held, now;
  if (::flock(fd.get(), LOCK_EX | LOCK_NB) != 0 || ::fstat(fd.get(), &held) != 0) return;
  if (::lstat(path.c_str(), &now) != 0 || now.st_ino != held.st_ino || now.st_dev != held.st_dev ||
      !S_ISREG(now.st_mode)) {
    return;
  }
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    Warn("remove stale temporary file %s: %v", path, Error::Errno("remove", path, errno));
  }
}

void RemoveStaleTemps(const std::string& target) {
  const std::string dir = DirName(target);
  const std::string base = BaseName(target);
  Result<std::vector<std::string>> names = ListDir(dir);
  if (!names.ok()) return;
  for (const std::string& name : *names) {
    if (IsTempName(name, base)) RemoveIfUnheld(JoinPath(dir, name));
  }
}

Result<AtomicFile> AtomicFile::Create(const std::string& target, mode_t mode, AtomicFileOptions options) {
  const std::string dir = DirName(target);
  const std::string base = BaseName(target);
  RemoveStaleTemps(target);
  std::string temp;
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint32_t r = 0;
    if (::getrandom(&r, sizeof r, 0) != sizeof r) r = static_cast<uint32_t>(::random());
    temp = JoinPath(dir, "." + base + ".tmp" + std::to_string(r));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      // Locked before anyone can look for stale files: see RemoveStaleTemps.
      while (::flock(fd, LOCK_EX) != 0 && errno == EINTR) {
      }
      // The lock lives on a descriptor of its own, held through the rename.
      UniqueFd lock(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
      if (!lock.valid()) {
        const int err = errno;
        ::close(fd);
        ::unlink(temp.c_str());
        return Error::Errno("open", options.name_target ? target : temp, err);
      }
      if (options.transient) TransientMade(temp);
      return AtomicFile(UniqueFd(fd), std::move(lock), temp, target, options);
    }
    if (errno != EEXIST) return Error::Errno("open", options.name_target ? target : temp, errno);
  }
  return Error::Errno("open", options.name_target ? target : temp, EEXIST);
}

AtomicFile::AtomicFile(UniqueFd fd, UniqueFd lock, std::string temp, std::string target, AtomicFileOptions options)
    : fd_(std::move(fd)),
      lock_(std::move(lock)),
      temp_(std::move(temp)),
      target_(std::move(target)),
      options_(options) {}

AtomicFile::AtomicFile(AtomicFile&& o) noexcept
    : fd_(std::move(o.fd_)),
      lock_(std::move(o.lock_)),
      temp_(std::exchange(o.temp_, std::string())),
      target_(std::move(o.target_)),
      options_(o.options_),
      closed_(o.closed_) {}

AtomicFile::~AtomicFile() {
  fd_.Reset();
  lock_.Reset();
  if (!temp_.empty() && ::unlink(temp_.c_str()) == 0 && options_.transient) TransientGone(temp_);
}

Error AtomicFile::Write(std::string_view data) { return WriteAll(fd_.get(), data, Shown()); }

Error AtomicFile::Close() {
  if (closed_) return Error();
  // A close that failed once leaves nothing fit to be renamed into place.
  if (!fd_.valid()) return Error::Errno("close", Shown(), EBADF);
  if (::fsync(fd_.get()) != 0) return Error::Errno("sync", Shown(), errno);
  if (::close(fd_.Release()) != 0) return Error::Errno("close", Shown(), errno);
  closed_ = true;
  return Error();
}

Error AtomicFile::Commit() {
  ZOL_TRY(Close());
  // The target is the operation's own until the operation has returned, and
  // is reported before the rename: one that ends the operation right after
  // it must not leave the new file behind.
  if (options_.transient) TransientMade(target_);
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    if (options_.transient) TransientGone(target_);
    return Error::Errno("rename", options_.name_target ? target_ : temp_ + " " + target_, err);
  }
  if (options_.transient) TransientGone(temp_);
  temp_.clear();
  lock_.Reset();
  // The rename is durable only once the directory entry is on disk; a
  // directory that cannot be flushed is reported as a file that cannot be.
  const std::string dir_path = DirName(target_);
  UniqueFd dir(::open(dir_path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir.valid()) return Error::Errno("open", dir_path, errno);
  if (::fsync(dir.get()) != 0) return Error::Errno("sync", dir_path, errno);
  return Error();
}

Error WriteFileAtomic(const std::string& path, std::string_view data, mode_t mode) {
  ZOL_ASSIGN_OR_RETURN(AtomicFile file, AtomicFile::Create(path, mode));
  ZOL_TRY(file.Write(data));
  return file.Commit();
}

}  // namespace util
