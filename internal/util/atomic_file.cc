#include "internal/util/atomic_file.h"

#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <utility>

#include "internal/util/files.h"
#include "internal/util/paths.h"

namespace util {

Result<AtomicFile> AtomicFile::Create(const std::string& target, mode_t mode) {
  const std::string dir = DirName(target);
  const std::string base = BaseName(target);
  std::string temp;
  for (int attempt = 0; attempt < 100; ++attempt) {
    uint32_t r = 0;
    if (::getrandom(&r, sizeof r, 0) != sizeof r) r = static_cast<uint32_t>(::random());
    temp = JoinPath(dir, "." + base + ".tmp" + std::to_string(r));
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd >= 0) return AtomicFile(UniqueFd(fd), temp, target);
    if (errno != EEXIST) return Error::Errno("open", temp, errno);
  }
  return Error::Errno("open", temp, EEXIST);
}

AtomicFile::AtomicFile(UniqueFd fd, std::string temp, std::string target)
    : fd_(std::move(fd)), temp_(std::move(temp)), target_(std::move(target)) {}

AtomicFile::AtomicFile(AtomicFile&& o) noexcept
    : fd_(std::move(o.fd_)), temp_(std::exchange(o.temp_, std::string())), target_(std::move(o.target_)) {}

AtomicFile::~AtomicFile() {
  fd_.Reset();
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

Error AtomicFile::Write(std::string_view data) { return WriteAll(fd_.get(), data, temp_); }

Error AtomicFile::Commit() {
  if (::fsync(fd_.get()) != 0) return Error::Errno("sync", temp_, errno);
  if (::close(fd_.Release()) != 0) return Error::Errno("close", temp_, errno);
  if (::rename(temp_.c_str(), target_.c_str()) != 0) return Error::Errno("rename", temp_ + " " + target_, errno);
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
