// Exclusive advisory locks on files, so that separate invocations of the
// program that change the same state on disk take turns.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

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
  friend Result<FileLock> LockDir(const std::string& dir, bool shared, bool wait);
  FileLock(UniqueFd fd, std::string path) : fd_(std::move(fd)), path_(std::move(path)) {}
  UniqueFd fd_;
  std::string path_;
};

// Takes the lock on `path`, creating the file (0640, its directory 0755 with
// parents) when absent; waits while another process holds it. The file is
// never removed: a process that opened it before a removal would lock a file
// nobody else can reach.
Result<FileLock> LockFile(const std::string& path);

// A flock on the directory `dir` itself, so nothing is made beside it and
// the lock goes with the tree: shared or exclusive, waiting or not (a lock
// held elsewhere then fails with EWOULDBLOCK). The directory is opened
// without following a last link. A shared lock is taken again when the tree
// at `dir` was replaced while it waited, so it always covers the tree that is
// there now. A missing directory fails as "open DIR: no such file or
// directory".
Result<FileLock> LockDir(const std::string& dir, bool shared, bool wait);

// The processes that hold a flock on the file or directory at `path`, as
// /proc/locks lists them (the process that took the lock), in that order.
std::vector<pid_t> LockHolders(const std::string& path);

}  // namespace util
