// What the fuzz targets share: a scratch directory per input, the input
// written to a file there, and the check that nothing appeared beside the
// directory a reader was told to write into.
#pragma once

#include <dirent.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "internal/util/files.h"
#include "internal/util/tempdir.h"

namespace fuzz {

inline std::string_view Bytes(const uint8_t* data, size_t size) {
  return {reinterpret_cast<const char*>(data), size};
}

// A fault the target checks for itself: reported like a crash.
[[noreturn]] inline void Fail(const std::string& what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what.c_str());
  std::abort();
}

inline std::set<std::string> Names(const std::string& dir) {
  std::set<std::string> out;
  if (DIR* d = ::opendir(dir.c_str())) {
    while (struct dirent* e = ::readdir(d)) {
      std::string n = e->d_name;
      if (n != "." && n != "..") out.insert(n);
    }
    ::closedir(d);
  }
  return out;
}

// A fresh directory holding the input as `input_name`, a canary file, and an
// empty directory "out" for a reader to write into.
class Scratch {
 public:
  Scratch(std::string_view input, const std::string& input_name) : input_name_(input_name) {
    auto t = util::TempDir::Make("zol-fuzz-");
    if (!t.ok()) Fail("temp dir: " + t.error().message());
    dir_.emplace(std::move(*t));
    if (!util::WriteFile(input_path(), input, 0644).ok() || !util::WriteFile(Path("canary"), "canary", 0644).ok() ||
        !util::MkdirAll(out(), 0755).ok()) {
      Fail("scratch set-up");
    }
  }
  ~Scratch() {
    // Removed while the check still can tell a leak: nothing may be left
    // that an ordinary removal cannot take.
    if (dir_ && !dir_->Remove().ok()) Fail("scratch removal");
  }

  std::string Path(const std::string& rel) const { return dir_->path() + "/" + rel; }
  std::string input_path() const { return Path(input_name_); }
  std::string out() const { return Path("out"); }

  // Nothing was created, removed or changed beside "out".
  void CheckNothingOutside() const {
    std::set<std::string> want = {input_name_, "canary", "out"};
    if (Names(dir_->path()) != want) Fail("a reader wrote beside its destination");
    auto canary = util::ReadFile(Path("canary"), 0, 64);
    if (!canary.ok() || *canary != "canary") Fail("a reader changed a file outside its destination");
  }

 private:
  std::string input_name_;
  std::optional<util::TempDir> dir_;
};

}  // namespace fuzz
