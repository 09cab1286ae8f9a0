// A file that appears at its path whole or not at all. It is written under a
// fresh name beside the path, flushed, renamed over the path, and the
// directory is flushed so that the rename outlives a crash. Dropped without
// Commit(), the partial file is removed.
#pragma once

#include <sys/types.h>

#include <string>
#include <string_view>

#include "internal/util/error.h"
#include "internal/util/fd.h"

namespace util {

class AtomicFile {
 public:
  // Creates ".<base>.tmpN" beside `target` (never through a link, `mode`
  // before the umask). Errors name the new file: "open TMP: reason".
  static Result<AtomicFile> Create(const std::string& target, mode_t mode);

  AtomicFile(AtomicFile&& o) noexcept;
  AtomicFile& operator=(AtomicFile&&) = delete;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  ~AtomicFile();

  int fd() const { return fd_.get(); }
  const std::string& temp_path() const { return temp_; }
  const std::string& target() const { return target_; }

  // Appends data ("write TMP: reason").
  Error Write(std::string_view data);
  // Flushes and closes the file, renames it over the target and flushes the
  // directory: "sync", "close" or "rename TMP TARGET: reason". On failure the
  // file is removed and the target is as it was.
  Error Commit();

 private:
  AtomicFile(UniqueFd fd, std::string temp, std::string target);
  UniqueFd fd_;
  std::string temp_;
  std::string target_;
};

// Writes data to path through an AtomicFile created with `mode`.
Error WriteFileAtomic(const std::string& path, std::string_view data, mode_t mode);

}  // namespace util
