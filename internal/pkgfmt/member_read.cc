#include "internal/pkgfmt/member_read.h"

#include <string>

#include "internal/pkgfmt/tar_reader.h"
#include "internal/util/paths.h"

namespace pkgfmt {

using util::Error;
using util::Result;

Result<std::optional<std::string>> ReadLastMember(const std::string& package, const std::string& name,
                                                  size_t max_bytes) {
  auto tar = TarReader::OpenPackage(package);
  if (!tar.ok()) return tar.error();
  std::optional<std::string> found;
  Error err;
  TarMember m;
  for (;;) {
    auto more = (*tar)->Next(&m);
    if (!more.ok()) {
      err = more.error().Wrap("tar next");
      break;
    }
    if (!*more) break;
    // The name the extractor writes the member at: one "./" dropped, then
    // cleaned, so "././manifest.json" lands on "manifest.json" too.
    const std::string stripped = util::HasPrefix(m.name, "./") ? m.name.substr(2) : m.name;
    if (util::HasPrefix(stripped, "/") || stripped.find("..") != std::string::npos) continue;
    if (util::CleanPath(stripped) != name) continue;
    // Only what the extractor would write as a regular file counts.
    bool regular = m.type == '0' || m.type == '7' || m.type == 'S' ||
                   (m.type == '\0' && !util::HasSuffix(m.name, "/"));
    if (m.type == '1') {
      // A hard link of that name gives it another member's content, which
      // this one pass no longer has: say so rather than guess.
      err = Error::Msg(name + " is a hard link to " + m.linkname + " and is not read");
      break;
    }
    if (!regular) continue;
    if (m.size < 0 || static_cast<uint64_t>(m.size) > max_bytes) {
      err = Error::Msg(name + ": member larger than " + std::to_string(max_bytes) + " bytes");
      break;
    }
    std::string data(static_cast<size_t>(m.size), '\0');
    size_t got = 0;
    while (got < data.size()) {
      auto n = (*tar)->Read(data.data() + got, data.size() - got);
      if (!n.ok()) {
        err = n.error().Wrap("read " + name);
        break;
      }
      if (*n == 0) {
        err = Error::Msg("read " + name + ": unexpected end of member");
        break;
      }
      got += *n;
    }
    if (!err.ok()) break;
    found = std::move(data);
  }
  Error closed = (*tar)->Close();
  if (!err.ok()) return err;
  if (!closed.ok()) return closed;
  return found;
}

}  // namespace pkgfmt
