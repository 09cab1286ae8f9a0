// Test helper: tar archives written by libarchive in a chosen dialect, as
// other tools write them, for the readers to take apart.
#pragma once

#include <archive.h>
#include <archive_entry.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace pkgfmt::testing {

struct Member {
  std::string name;
  mode_t type = AE_IFREG;
  std::string data;  // content, or link target for links
  mode_t perm = 0644;
  bool hardlink = false;
  int64_t size = -1;  // recorded size when it differs from the data
};

inline Member TarFile(std::string name, std::string data, mode_t perm = 0644) {
  return {std::move(name), AE_IFREG, std::move(data), perm};
}
inline Member TarDir(std::string name, mode_t perm = 0755) { return {std::move(name), AE_IFDIR, "", perm}; }
inline Member TarLink(std::string name, std::string target) {
  return {std::move(name), AE_IFLNK, std::move(target), 0777};
}
inline Member TarHard(std::string name, std::string target) {
  return {std::move(name), AE_IFREG, std::move(target), 0644, true};
}

inline std::string Tar(const std::vector<Member>& members, int format = ARCHIVE_FORMAT_TAR_PAX_RESTRICTED) {
  std::string out;
  struct archive* a = archive_write_new();
  archive_write_set_format(a, format);
  archive_write_set_bytes_per_block(a, 0);
  archive_write_open(
      a, &out, nullptr,
      [](struct archive*, void* o, const void* buf, size_t n) -> la_ssize_t {
        static_cast<std::string*>(o)->append(static_cast<const char*>(buf), n);
        return static_cast<la_ssize_t>(n);
      },
      nullptr);
  for (const auto& m : members) {
    struct archive_entry* e = archive_entry_new();
    archive_entry_set_pathname(e, m.name.c_str());
    archive_entry_set_perm(e, m.perm);
    archive_entry_set_filetype(e, m.type);
    if (m.hardlink) {
      archive_entry_set_hardlink(e, m.data.c_str());
    } else if (m.type == AE_IFLNK) {
      archive_entry_set_symlink(e, m.data.c_str());
    }
    const bool data = m.type == AE_IFREG && !m.hardlink;
    archive_entry_set_size(e, m.size >= 0 ? m.size : data ? static_cast<la_int64_t>(m.data.size()) : 0);
    archive_write_header(a, e);
    if (data) archive_write_data(a, m.data.data(), m.data.size());
    archive_entry_free(e);
  }
  archive_write_close(a);
  archive_write_free(a);
  return out;
}

}  // namespace pkgfmt::testing
