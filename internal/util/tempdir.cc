#include "internal/util/tempdir.h"

#include <sys/random.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "internal/util/files.h"
#include "internal/util/log.h"
#include "internal/util/transient.h"

namespace util {

std::string TempRoot() {
  const char* t = std::getenv("TMPDIR");
  if (t != nullptr && *t != '\0') return t;
  return "/tmp";
}

Result<TempDir> TempDir::Make(std::string_view prefix) { return MakeIn(TempRoot(), prefix); }

Result<TempDir> TempDir::MakeIn(const std::string& parent, std::string_view prefix) {
  for (int attempt = 0; attempt < 10000; ++attempt) {
    uint32_t r = 0;
    if (getrandom(&r, sizeof r, 0) != sizeof r) r = static_cast<uint32_t>(random());
    std::string path = parent;
    if (path.empty() || path.back() != '/') path += '/';
    path += prefix;
    path += std::to_string(r);
    if (::mkdir(path.c_str(), 0700) == 0) {
      TransientMade(path);
      return TempDir(std::move(path));
    }
    if (errno != EEXIST) return Error::Errno("mkdir", path, errno);
  }
  return Error::Errno("mkdir", parent + "/" + std::string(prefix) + "*", EEXIST);
}

TempDir& TempDir::operator=(TempDir&& o) noexcept {
  if (this != &o) {
    const std::string path = path_;
    if (Error e = Remove(); !e.ok()) Warn("remove temporary directory %s: %v", path, e);
    path_ = std::move(o.path_);
    o.path_.clear();
  }
  return *this;
}

TempDir::~TempDir() {
  // Nobody else would ever remove it: say so rather than leave it silently.
  const std::string path = path_;
  if (Error e = Remove(); !e.ok()) Warn("remove temporary directory %s: %v", path, e);
}

std::string TempDir::Release() { return std::exchange(path_, std::string()); }

Error TempDir::Remove() {
  if (path_.empty()) return Error();
  Error e = RemoveAll(path_);
  if (e.ok()) TransientGone(path_);
  path_.clear();
  return e;
}

}  // namespace util
