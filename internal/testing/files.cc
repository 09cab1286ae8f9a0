#include "internal/testing/files.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "internal/util/files.h"
#include "internal/util/paths.h"

namespace testutil {

std::string Slurp(const std::string& path) {
  auto content = util::ReadFile(path);
  return content.ok() ? std::move(*content) : std::string();
}

void Spit(const std::string& path, const std::string& data, mode_t mode) {
  const util::Error dir = util::MkdirAll(util::DirName(path), 0755);
  if (!dir.ok()) ADD_FAILURE() << dir.message();
  const util::Error e = util::WriteFile(path, data, mode);
  if (!e.ok()) {
    ADD_FAILURE() << e.message();
    return;
  }
  // The umask has had its say at creation, and an existing file keeps its
  // old mode: the fixture wants the mode it names.
  if (::chmod(path.c_str(), mode) != 0) ADD_FAILURE() << "chmod " << path;
}

}  // namespace testutil
