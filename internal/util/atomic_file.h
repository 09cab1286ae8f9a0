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

struct AtomicFileOptions {
  // Errors name the target alone ("open TARGET", "rename TARGET"), for a
  // caller whose reader knows nothing of the file beside it.
  bool name_target = false;
  // The file beside, and once renamed the target, are reported as the
  // operation's own (util/transient.h), so an interrupted operation leaves
  // neither behind.
  bool transient = false;
};

class AtomicFile {
 public:
  // Creates ".<base>.tmpN" beside `target` (never through a link, `mode`
  // before the umask). Errors name the new file ("open TMP: reason"), or the
  // target as options say.
  static Result<AtomicFile> Create(const std::string& target, mode_t mode, AtomicFileOptions options = {});

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
  // Flushes and closes the file ("sync" or "close TMP: reason"), for a
  // caller that tells a failed write-out from a failed rename; Commit() does
  // it when it has not been done.
  Error Close();
  // Flushes and closes the file, renames it over the target and flushes the
  // directory: "sync", "close" or "rename TMP TARGET: reason". On failure the
  // file is removed and the target is as it was, except when only the
  // directory's flush fails ("sync DIR: reason"): the new file is then in
  // place but may not outlive a crash.
  Error Commit();

 private:
  AtomicFile(UniqueFd fd, UniqueFd lock, std::string temp, std::string target, AtomicFileOptions options);
  // How errors name the file.
  const std::string& Shown() const { return options_.name_target ? target_ : temp_; }
  UniqueFd fd_;
  // The temporary file's lock, held through the rename (see RemoveStaleTemps).
  UniqueFd lock_;
  std::string temp_;
  std::string target_;
  AtomicFileOptions options_;
  bool closed_ = false;
};

// Removes the files that killed writers of `target` left beside it. Every
// AtomicFile holds its own file locked until it is renamed into place, so a
// live writer's file is never taken; a failed removal is a warning naming the
// path. AtomicFile::Create calls it before making its own.
void RemoveStaleTemps(const std::string& target);

// Whether `name` has the form of an AtomicFile's temporary for a target
// named `base`: ".BASE.tmpN", N decimal digits.
bool IsTempName(std::string_view name, std::string_view base);
// Removes the regular file at `path` unless a writer holds it locked (the
// test RemoveStaleTemps makes of each temporary); a failed removal is a
// warning naming the path.
void RemoveIfUnheld(const std::string& path);

// Writes data to path through an AtomicFile created with `mode`.
Error WriteFileAtomic(const std::string& path, std::string_view data, mode_t mode);

}  // namespace util
