// Exclusive advisory locks on files, so that separate invocations of the
// program that change the same state on disk take turns.
#pragma once

#include <string>

#include "internal/util/error.h"
#include "internal/util/fd.h"

namespace util {

// An exclusive flock, held until the object is destroyed (closing the
// descriptor releases it; children never inherit it).
class FileLock {
 public:
  FileLock(FileLock&&) noexcept = default;
  FileLock& operator=(FileLock&&) noexcept = default;
  ~FileLock() = default;

  const std::string& path() const { return path_; }

 private:
  friend Result<FileLock> LockFile(const std::string& path);
  FileLock(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  UniqueFd fd_;
  std::string path_;
};

// Takes the lock on `path`, creating the file (0640, its directory 0755 with
// parents) when absent; waits while another process holds it. The file is
// never removed: a process that opened it before a removal would lock a file
// nobody else can reach.
Result<FileLock> LockFile(const std::string& path);

}  // namespace util
