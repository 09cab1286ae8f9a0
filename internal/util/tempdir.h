// Temporary directories owned by the operation that made them.
#pragma once

#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace util {

// The system temporary directory: $TMPDIR when set and not empty, else "/tmp".
std::string TempRoot();

// A directory named prefix followed by a random decimal number, mode 0700,
// in TempRoot(); removed with everything below it when the owner goes away,
// unless Release() was called.
class TempDir {
 public:
  static Result<TempDir> Make(std::string_view prefix);
  // Same, in `parent` instead of TempRoot().
  static Result<TempDir> MakeIn(const std::string& parent, std::string_view prefix);

  TempDir(TempDir&& o) noexcept : path_(std::move(o.path_)) { o.path_.clear(); }
  TempDir& operator=(TempDir&& o) noexcept;
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  ~TempDir();

  const std::string& path() const { return path_; }
  // Keeps the directory; the caller now owns it.
  std::string Release();
  // Removes it now, reporting the failure.
  Error Remove();

 private:
  explicit TempDir(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

}  // namespace util
