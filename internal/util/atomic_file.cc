#include "internal/util/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/transient.h"

namespace util {

Result<AtomicFile> AtomicFile::Create(const std::string& target, mode_t mode, AtomicFileOptions options) {
  const std::string dir = DirName(target);
  const std::string base = BaseName(target);
  std::string temp;
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint32_t r = 0;
    if (::getrandom(&r, sizeof r, 0) != sizeof r) r = static_cast<uint32_t>(::random());
    temp = JoinPath(dir, "." + base + ".tmp" + std::to_string(r));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) {
      if (options.transient) TransientMade(temp);
      return AtomicFile(UniqueFd(fd), temp, target, options);
    }
    if (errno != EEXIST) return Error::Errno("open", options.name_target ? target : temp, errno);
  }
  return Error::Errno("open", options.name_target ? target : temp, EEXIST);
}

AtomicFile::AtomicFile(UniqueFd fd, std::string temp, std::string target, AtomicFileOptions options)
    : fd_(std::move(fd)), temp_(std::move(temp)), target_(std::move(target)), options_(options) {}

AtomicFile::AtomicFile(AtomicFile&& o) noexcept
    : fd_(std::move(o.fd_)),
      temp_(std::exchange(o.temp_, std::string())),
      target_(std::move(o.target_)),
      options_(o.options_),
      closed_(o.closed_) {}

AtomicFile::~AtomicFile() {
  fd_.Reset();
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
  if (::rename(temp_.c_str(), target_.c_str()) != 0) {
    return Error::Errno("rename", options_.name_target ? target_ : temp_ + " " + target_, errno);
  }
  if (options_.transient) {
    // The target stays the operation's own until the operation has returned.
    TransientGone(temp_);
    TransientMade(target_);
  }
  temp_.clear();
  // The rename is durable only once the directory entry is on disk.
  UniqueFd dir(::open(DirName(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir.valid()) ::fsync(dir.get());
  return Error();
}

Error WriteFileAtomic(const std::string& path, std::string_view data, mode_t mode) {
  ZOL_ASSIGN_OR_RETURN(AtomicFile file, AtomicFile::Create(path, mode));
  ZOL_TRY(file.Write(data));
  return file.Commit();
}

}  // namespace util
