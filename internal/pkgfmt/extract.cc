#include "internal/pkgfmt/extract.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "internal/pkgfmt/tar_reader.h"
#include "internal/util/beneath.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace pkgfmt {

using util::Error;
using util::Result;
using util::Root;
using util::UniqueFd;

namespace {

constexpr size_t kCopyBuffer = 128 * 1024;

struct CreatedLink {
  std::string rel;       // beneath the destination
  std::string name;      // member name as shown in messages
  std::string linkname;  // the link's text
};

struct Extractor {
  Root* root;
  std::string clean_dest;
  std::string prefix;
  ExtractLimits limits;
  TarReader* tar;
  bool copy_hard_links = false;
  std::vector<CreatedLink> links = {};
  // The parent directory of the last regular member, known to exist: the
  // extractor creates and never removes, so the next member in the same
  // directory (most of them) need not look for it again.
  std::optional<std::string> made_parent = std::nullopt;
  std::vector<char> buf = std::vector<char>(kCopyBuffer);
};

std::string RelOf(const Extractor& x, const std::string& target) {
  return target == x.clean_dest ? std::string() : target.substr(x.prefix.size());
}

bool Inside(const Extractor& x, const std::string& path, bool dest_itself_ok) {
  return util::HasPrefix(path + "/", x.prefix) || (dest_itself_ok && path == x.clean_dest);
}

std::string StripDotSlash(const std::string& s) { return util::HasPrefix(s, "./") ? s.substr(2) : s; }

}  // namespace

Error ErrMemberTooLarge(const std::string& name) {
  return Error::Msg(util::Sprintf("file %s exceeds max size limit (%d MB)", name.c_str(),
                                  static_cast<int>(kMaxExtractFileSize >> 20)));
}

Error ErrTotalTooLarge() {
  return Error::Msg(util::Sprintf("total extraction size limit exceeded (%d GB)",
                                  static_cast<int>(kMaxExtractTotalSize >> 30)));
}

Error WriteTarMemberFile(TarReader& tar, const TarMember& m, util::UniqueFd file, const std::string& target,
                         mode_t perm) {
  const std::string ctx = util::Sprintf("copy file %s", target.c_str());
  const int64_t size = m.size;
  // The member's data is written from where the reader holds it, block by
  // block at its place in the file, with no copy of its own in between; a
  // sparse member's holes are the places no block is written to.
  Error copy;
  TarReader::Block b;
  for (;;) {
    auto more = tar.ReadBlock(&b);
    if (!more.ok()) {
      copy = more.error();
      break;
    }
    if (!*more) break;
    if (b.offset < 0 || b.offset > size || static_cast<int64_t>(b.size) > size - b.offset) {
      copy = Error::Msg("sparse data beyond the file's size");
      break;
    }
    for (size_t done = 0; done < b.size;) {
      const ssize_t n = ::pwrite(file.get(), b.data + done, b.size - done, b.offset + static_cast<int64_t>(done));
      if (n < 0) {
        if (errno == EINTR) continue;
        copy = Error::Errno("write", target, errno);
        break;
      }
      done += static_cast<size_t>(n);
    }
    if (!copy.ok()) break;
  }
  int fd = file.Release();
  if (!copy.ok()) {
    if (::close(fd) != 0) {
      Error c = Error::Errno("close", target, errno);
      return Error::WithCause(util::Sprintf("%s: %s (close: %s)", ctx.c_str(), copy.message().c_str(),
                                            c.message().c_str()),
                              copy);
    }
    return copy.Wrap(ctx);
  }
  // A hole at the end has no data block: the size makes it.
  if (m.sparse && ::ftruncate(fd, size) != 0) {
    Error c = Error::Errno("truncate", target, errno);
    ::close(fd);
    return c.Wrap(ctx);
  }
  // The mode is set exactly through the descriptor, so the umask does not
  // reduce it and no link can redirect it.
  if (::fchmod(fd, perm) != 0) {
    Error c = Error::Errno("chmod", target, errno);
    ::close(fd);
    return c.Wrap(util::Sprintf("chmod %s", target.c_str()));
  }
  if (::close(fd) != 0) return Error::Errno("close", target, errno).Wrap(util::Sprintf("close file %s", target.c_str()));
  return Error();
}

namespace {

Result<int64_t> ExtractRegular(Extractor& x, const TarMember& m, const std::string& name,
                               const std::string& target, int64_t total) {
  const int64_t size = m.size;
  if (size > x.limits.per_file) return ErrMemberTooLarge(name);
  const int64_t new_total = total + (size > 0 ? size : 0);
  if (new_total > x.limits.total) return ErrTotalTooLarge();
  const std::string rel = RelOf(x, target);
  const mode_t perm = m.mode & 0777;
  const std::string parent_rel = util::DirName(rel);
  if (x.made_parent != parent_rel) {
    const std::string parent = util::DirName(target);
    ZOL_TRY(x.root->MkdirAll(parent_rel, 0755).Wrap(util::Sprintf("mkdir parent %s", parent.c_str())));
    x.made_parent = parent_rel;
  }
  auto f = x.root->OpenFile(rel, O_WRONLY | O_CREAT | O_TRUNC, perm);
  if (!f.ok()) return f.error().Wrap(util::Sprintf("create file %s", target.c_str()));

  ZOL_TRY(WriteTarMemberFile(*x.tar, m, std::move(*f), target, perm));
  return new_total;
}

// Copies the hard link's target into a file of its own when the link cannot
// be made. The bytes stream through a buffer and count toward the total.
Result<int64_t> HardLinkCopy(Extractor& x, const std::string& old_rel, const std::string& link_target,
                             const std::string& rel, const std::string& target, mode_t perm, int64_t total) {
  const std::string read_ctx = util::Sprintf("hardlink fallback read %s", link_target.c_str());
  const std::string write_ctx = util::Sprintf("hardlink fallback write %s", target.c_str());
  // A link inside is followed (beneath the destination, so a link that
  // leads out cannot be read through).
  auto in = x.root->OpenFile(old_rel, O_RDONLY | O_NONBLOCK, 0, Root::Follow::kYes);
  if (!in.ok()) return in.error().Wrap(read_ctx);
  struct stat ist;
  if (::fstat(in->get(), &ist) != 0) return Error::Errno("read", link_target, errno).Wrap(read_ctx);
  if (S_ISDIR(ist.st_mode)) return Error::Errno("read", link_target, EISDIR).Wrap(read_ctx);
  if (!S_ISREG(ist.st_mode)) return Error::Errno("read", link_target, EINVAL).Wrap(read_ctx);
  if (total + ist.st_size > x.limits.total) return ErrTotalTooLarge();

  auto out = x.root->OpenFile(rel, O_WRONLY | O_CREAT, perm);
  if (!out.ok()) return out.error().Wrap(write_ctx);
  struct stat ost;
  if (::fstat(out->get(), &ost) != 0) return Error::Errno("write", target, errno).Wrap(write_ctx);
  // Already the same file: truncating it would destroy the content.
  if (ost.st_dev == ist.st_dev && ost.st_ino == ist.st_ino) return total + ist.st_size;
  if (::ftruncate(out->get(), 0) != 0) return Error::Errno("truncate", target, errno).Wrap(write_ctx);
  // Its own loop, not util::CopyBytes: the copy counts against the
  // package's total as it goes, and each side fails in the hard link's terms.
  int64_t copied = 0;
  for (;;) {
    ssize_t n = ::read(in->get(), x.buf.data(), x.buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::Errno("read", link_target, errno).Wrap(read_ctx);
    }
    if (n == 0) break;
    copied += n;
    if (total + copied > x.limits.total) return ErrTotalTooLarge();
    ZOL_TRY(util::WriteAll(out->get(), std::string_view(x.buf.data(), static_cast<size_t>(n)), target).Wrap(write_ctx));
  }
  if (::close(out->Release()) != 0) return Error::Errno("close", target, errno).Wrap(write_ctx);
  return total + copied;
}

Result<int64_t> ExtractHardLink(Extractor& x, const TarMember& m, const std::string& name,
                                const std::string& target, int64_t total) {
  const std::string& stored = m.linkname;
  const std::string link_target = util::JoinPath(x.clean_dest, StripDotSlash(stored));
  if (!Inside(x, link_target, false)) {
    return Error::Msg(util::Sprintf("hard link escape rejected: %s -> %s", name.c_str(), stored.c_str()));
  }
  const std::string rel = RelOf(x, target);
  const std::string old_rel = RelOf(x, link_target);
  const std::string parent = util::DirName(target);
  ZOL_TRY(x.root->MkdirAll(util::DirName(rel), 0755)
              .Wrap(util::Sprintf("mkdir parent for hardlink %s", parent.c_str())));
  // A second name for a symbolic link is made as a link in any case: a
  // copy would hold what the link leads to.
  bool copy = false;
  if (x.copy_hard_links) {
    auto st = x.root->Lstat(old_rel);
    copy = !(st.ok() && S_ISLNK(st->st_mode));
  }
  if (copy || !x.root->Link(old_rel, rel).ok()) {
    return HardLinkCopy(x, old_rel, link_target, rel, target, m.mode & 0777, total);
  }
  // A second name for a link reads its text from another directory, so it
  // must stay inside from there too.
  auto st = x.root->Lstat(rel);
  if (st.ok() && S_ISLNK(st->st_mode)) {
    auto text = x.root->Readlink(rel);
    auto inside = x.root->StaysInside(rel);
    if (!text.ok() || !inside.ok() || !*inside) {
      x.root->Remove(rel).IgnoreError();
      return Error::Msg(util::Sprintf("hard link escape rejected: %s -> %s", name.c_str(), stored.c_str()));
    }
    x.links.push_back({rel, name, *text});
  }
  return total;
}

Error SymlinkEscape(const std::string& name, const std::string& linkname) {
  return Error::Msg(util::Sprintf("symlink escape rejected: %s -> %s (resolves outside package)", name.c_str(),
                                  linkname.c_str()));
}

Error ExtractSymlink(Extractor& x, const TarMember& m, const std::string& name, const std::string& target) {
  const std::string& linkname = m.linkname;
  if (util::HasPrefix(linkname, "/")) {
    return Error::Msg(util::Sprintf("absolute symlink rejected: %s -> %s", name.c_str(), linkname.c_str()));
  }
  const std::string resolved = util::JoinPath(util::DirName(target), linkname);
  if (!Inside(x, resolved, true)) return SymlinkEscape(name, linkname);
  const std::string rel = RelOf(x, target);
  const std::string parent = util::DirName(target);
  ZOL_TRY(x.root->MkdirAll(util::DirName(rel), 0755).Wrap(util::Sprintf("mkdir parent %s", parent.c_str())));
  ZOL_TRY(x.root->Symlink(linkname, rel).Wrap(util::Sprintf("symlink %s", target.c_str())));
  // The lexical check cannot see links made by earlier members; the real
  // resolution from where the link now stands can.
  auto inside = x.root->StaysInside(rel);
  if (!inside.ok()) return inside.error().Wrap(util::Sprintf("symlink %s", target.c_str()));
  if (!*inside) {
    x.root->Remove(rel).IgnoreError();
    return SymlinkEscape(name, linkname);
  }
  x.links.push_back({rel, name, linkname});
  return Error();
}

Result<int64_t> ExtractEntry(Extractor& x, const TarMember& m, int64_t total) {
  const std::string& stored = m.name;
  const std::string name = StripDotSlash(stored);
  if (util::HasPrefix(name, "/")) return Error::Msg(util::Sprintf("absolute path rejected: %s", name.c_str()));
  if (name.find("..") != std::string::npos) {
    return Error::Msg(util::Sprintf("path with .. rejected: %s", name.c_str()));
  }
  const std::string target = util::JoinPath(x.clean_dest, name);
  if (!Inside(x, target, true)) {
    return Error::Msg(util::Sprintf("path traversal detected: %s", stored.c_str()));
  }

  switch (m.type) {
    case '\0':
      // The legacy regular type stands for a directory when its name ends
      // in "/".
      if (util::HasSuffix(stored, "/")) break;
      return ExtractRegular(x, m, name, target, total);
    case '0':
    case '7':  // contiguous: a regular file wherever contiguity is not a thing
    case 'S':  // GNU sparse
      return ExtractRegular(x, m, name, target, total);
    case '1':
      return ExtractHardLink(x, m, name, target, total);
    case '2':
      ZOL_TRY(ExtractSymlink(x, m, name, target));
      return total;
    case '5':
      break;
    default:
      // Devices and FIFOs are not made. A member of another type that holds
      // data would be dropped while the package looks installed whole.
      if (m.size > 0) {
        return Error::Msg(util::Sprintf("member %s of type %s holds data that cannot be extracted", name.c_str(),
                                        util::Quote(std::string(1, m.type)).c_str()));
      }
      return total;
  }
  const std::string rel = RelOf(x, target);
  ZOL_TRY(x.root->MkdirAll(rel, m.mode & 0777).Wrap(util::Sprintf("mkdir %s", target.c_str())));
  return total;
}

Error ExtractMembers(Extractor& x) {
  int64_t total = 0;
  TarMember m;
  for (;;) {
    auto more = x.tar->Next(&m);
    if (!more.ok()) return more.error().Wrap("tar next");
    if (!*more) break;
    auto t = ExtractEntry(x, m, total);
    if (!t.ok()) return t.error();
    total = *t;
  }
  // Later members can change where an earlier link leads (a missing
  // directory it passes through may have become a link); only the final
  // tree counts.
  for (const CreatedLink& l : x.links) {
    auto inside = x.root->StaysInside(l.rel);
    if (!inside.ok() || !*inside) return SymlinkEscape(l.name, l.linkname);
  }
  // A stream cut short or damaged after the end of the archive is still a
  // damaged package.
  return x.tar->CheckTrailer().Wrap("tar next");
}

}  // namespace

Error ExtractTarGz(const std::string& package, const std::string& dest, const ExtractOptions& options) {
  auto tar = TarReader::OpenPackage(package, options.hash);
  if (!tar.ok()) return tar.error();
  Error first;
  auto root = Root::Open(util::CleanPath(dest));
  if (!root.ok()) {
    first = root.error();
  } else {
    Extractor x{&*root, util::CleanPath(dest), util::CleanPath(dest) + "/", options.limits, tar->get(),
                options.copy_hard_links};
    first = ExtractMembers(x);
  }
  Error closed = (*tar)->Close();
  if (first.ok()) first = closed;
  return first;
}

Error ExtractTarGzWithLimits(const std::string& package, const std::string& dest, const ExtractLimits& limits) {
  return ExtractTarGz(package, dest, ExtractOptions{limits, nullptr});
}

Error ExtractTarGz(const std::string& package, const std::string& dest) {
  return ExtractTarGz(package, dest, ExtractOptions{});
}

}  // namespace pkgfmt
