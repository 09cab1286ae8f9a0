#include "internal/pkgfmt/archive.h"
#include "internal/pkgfmt/member_read.h"

#include <archive.h>
#include <archive_entry.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "internal/pkgfmt/tar_writer.h"
#include "internal/util/beneath.h"
#include "internal/util/fd.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace pkgfmt {

using util::Error;
using util::Result;
using util::Root;
using util::UniqueFd;

namespace {

constexpr size_t kCopyBuffer = 128 * 1024;

// ---- writing ----

// Walks the tree below an open directory: each directory before its
// contents, the names within one directory in byte order, links never
// followed. Every object is reached through the descriptor of its directory,
// so nothing outside the source is read even if the tree changes meanwhile.
class Packer {
 public:
  Packer(std::string source, TarWriter* tar) : source_(std::move(source)), tar_(tar) {}

  Error Dir(int dirfd, const std::string& rel) {
    std::vector<std::string> names;
    {
      int dup = ::fcntl(dirfd, F_DUPFD_CLOEXEC, 0);
      if (dup < 0) return Error::Errno("open", Full(rel), errno);
      DIR* d = ::fdopendir(dup);
      if (d == nullptr) {
        int err = errno;
        ::close(dup);
        return Error::Errno("open", Full(rel), err);
      }
      errno = 0;
      while (struct dirent* de = ::readdir(d)) {
        std::string n = de->d_name;
        if (n != "." && n != "..") names.push_back(std::move(n));
        errno = 0;
      }
      int err = errno;
      ::closedir(d);
      if (err != 0) return Error::Errno("readdirent", Full(rel), err);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) {
      std::string child = rel.empty() ? n : rel + "/" + n;
      ZOL_TRY(Object(dirfd, n, child));
    }
    return Error();
  }

 private:
  std::string Full(const std::string& rel) const {
    return rel.empty() ? util::CleanPath(source_) : util::JoinPath(source_, rel);
  }

  Error Object(int dirfd, const std::string& name, const std::string& rel) {
    const std::string full = Full(rel);
    struct stat st;
    if (::fstatat(dirfd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return Error::Errno("lstat", full, errno);
    std::string linkname;
    if (S_ISLNK(st.st_mode)) {
      std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
      for (;;) {
        ssize_t n = ::readlinkat(dirfd, name.c_str(), buf.data(), buf.size());
        if (n < 0) return Error::Errno("readlink", full, errno).Wrap(util::Sprintf("readlink %s", full.c_str()));
        if (static_cast<size_t>(n) < buf.size()) {
          linkname.assign(buf.data(), static_cast<size_t>(n));
          break;
        }
        buf.resize(buf.size() * 2);
      }
    }
    auto h = HeaderFromStat(st, rel, linkname);
    if (!h.ok()) return h.error().Wrap(util::Sprintf("tar header %s", full.c_str()));
    // A directory is opened before its header is written so that what is
    // recorded is what will be walked.
    UniqueFd sub;
    if (S_ISDIR(st.st_mode)) {
      sub.Reset(::openat(dirfd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    }
    ZOL_TRY(tar_->WriteHeader(*h).Wrap("write tar header"));
    if (S_ISDIR(st.st_mode)) {
      if (!sub.valid()) return Error::Errno("open", full, errno);
      return Dir(sub.get(), rel);
    }
    if (S_ISREG(st.st_mode)) return Content(dirfd, name, full);
    return Error();
  }

  Error Content(int dirfd, const std::string& name, const std::string& full) {
    UniqueFd f(::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!f.valid()) return Error::Errno("open", full, errno).Wrap(util::Sprintf("open %s", full.c_str()));
    Error copy;
    for (;;) {
      ssize_t n = ::read(f.get(), buf_.data(), buf_.size());
      if (n < 0) {
        if (errno == EINTR) continue;
        copy = Error::Errno("read", full, errno);
        break;
      }
      if (n == 0) break;
      copy = tar_->WriteData(buf_.data(), static_cast<size_t>(n));
      if (!copy.ok()) break;
    }
    int fd = f.Release();
    if (!copy.ok()) {
      if (::close(fd) != 0) {
        Error c = Error::Errno("close", full, errno);
        return Error::WithCause(util::Sprintf("copy %s to tar: %s (close: %s)", full.c_str(),
                                              copy.message().c_str(), c.message().c_str()),
                                copy);
      }
      return copy.Wrap(util::Sprintf("copy %s to tar", full.c_str()));
    }
    if (::close(fd) != 0) return Error::Errno("close", full, errno).Wrap(util::Sprintf("close %s", full.c_str()));
    return Error();
  }

  std::string source_;
  TarWriter* tar_;
  std::vector<char> buf_ = std::vector<char>(kCopyBuffer);
};

}  // namespace

Error CreateTarGz(const std::string& source_dir, const std::string& output) {
  UniqueFd out(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out.valid()) return Error::Errno("open", output, errno).Wrap("create output file");
  FdSink file(out.get(), output);
  auto gz = GzipSink::Make(&file, Z_DEFAULT_COMPRESSION);
  if (!gz.ok()) return gz.error().Wrap("create output file");
  TarWriter tar(gz->get());

  Error first;
  struct stat st;
  if (::lstat(source_dir.c_str(), &st) != 0) {
    first = Error::Errno("lstat", source_dir, errno);
  } else if (S_ISDIR(st.st_mode)) {
    // The source itself has no member; only what lies below it.
    UniqueFd root(::open(source_dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root.valid()) {
      first = Error::Errno("open", source_dir, errno);
    } else {
      Packer packer(source_dir, &tar);
      first = packer.Dir(root.get(), "");
    }
  }

  // Closed in order whatever happened; a close failure counts only when
  // nothing failed before it.
  Error e = tar.Close();
  if (first.ok() && !e.ok()) first = e.Wrap("close tar writer");
  e = (*gz)->Close();
  if (first.ok() && !e.ok()) first = e.Wrap("close gzip writer");
  if (::close(out.Release()) != 0 && first.ok()) {
    first = Error::Errno("close", output, errno).Wrap("close output file");
  }
  return first;
}

// ---- reading ----

namespace {

// Our own inflate over the package file: anything that is not gzip fails
// before the tar reader sees a byte, and concatenated gzip members read as
// one stream.
class GzipReader {
 public:
  ~GzipReader() {
    if (init_) inflateEnd(&zs_);
  }

  Error Open(int fd) {
    fd_ = fd;
    ZOL_TRY(Fill());
    if (avail_ == 0) return Error::Msg("unexpected end of file");
    if (avail_ < 2 || in_[0] != 0x1f || in_[1] != 0x8b) return Error::Msg("invalid gzip header");
    if (avail_ >= 3 && in_[2] != 8) return Error::Msg("unsupported gzip compression method");
    if (inflateInit2(&zs_, 15 + 16) != Z_OK) return Error::Msg("cannot start inflate");
    init_ = true;
    zs_.next_in = in_.data();
    zs_.avail_in = static_cast<uInt>(avail_);
    return Error();
  }

  // Up to n bytes of the decompressed stream; 0 at its end.
  Result<size_t> Read(unsigned char* out, size_t n) {
    if (!failed_.ok()) return failed_;
    zs_.next_out = out;
    zs_.avail_out = static_cast<uInt>(n);
    while (zs_.avail_out == n && !done_) {
      if (zs_.avail_in == 0) {
        Error e = Fill();
        if (!e.ok()) return failed_ = e;
        if (avail_ == 0) {
          if (member_end_) {
            done_ = true;
            break;
          }
          return failed_ = Error::Msg("unexpected EOF");
        }
        zs_.next_in = in_.data();
        zs_.avail_in = static_cast<uInt>(avail_);
      }
      if (member_end_) {
        // More bytes after a member: they must start another one.
        inflateReset(&zs_);
        member_end_ = false;
      }
      int r = inflate(&zs_, Z_NO_FLUSH);
      if (r == Z_STREAM_END) {
        member_end_ = true;
      } else if (r != Z_OK && r != Z_BUF_ERROR) {
        return failed_ = Error::Msg(std::string("gzip: ") + (zs_.msg ? zs_.msg : "invalid data"));
      }
    }
    return n - zs_.avail_out;
  }

 private:
  Error Fill() {
    for (;;) {
      ssize_t r = ::read(fd_, in_.data(), in_.size());
      if (r < 0) {
        if (errno == EINTR) continue;
        return Error::Errno("read", "", errno);
      }
      avail_ = static_cast<size_t>(r);
      return Error();
    }
  }

  int fd_ = -1;
  z_stream zs_{};
  bool init_ = false;
  bool member_end_ = false;
  bool done_ = false;
  std::vector<unsigned char> in_ = std::vector<unsigned char>(64 * 1024);
  size_t avail_ = 0;
  Error failed_;
};

// The decompressed stream as handed to libarchive. While a header is being
// read, the bytes from its start are kept, so the raw header blocks can be
// checked for what libarchive silently drops: the type byte it maps to
// "regular" and NUL bytes inside names, where it truncates.
class Stream {
 public:
  explicit Stream(GzipReader* gz) : gz_(gz) {}

  static la_ssize_t ReadCallback(struct archive* a, void* self, const void** buf) {
    return static_cast<Stream*>(self)->Next(a, buf);
  }

  // Keep everything from stream offset `from` until Unpin().
  void Pin(int64_t from) {
    pinned_ = true;
    pin_ = from;
  }
  void Unpin() { pinned_ = false; }

  // The bytes [from, to) of the stream, if still kept.
  bool Bytes(int64_t from, int64_t to, std::string& out) const {
    if (from < base_ || to > base_ + static_cast<int64_t>(window_.size()) || from > to) return false;
    out.assign(window_.data() + (from - base_), static_cast<size_t>(to - from));
    return true;
  }

 private:
  // Bytes kept behind the newest chunk when nothing is pinned: enough for
  // what libarchive may still refer to across a chunk boundary.
  static constexpr size_t kKeep = 1 << 20;
  static constexpr size_t kChunk = 64 * 1024;
  static constexpr size_t kCompactStep = 8 << 20;
  // A header (with its extended records) larger than this is refused.
  static constexpr size_t kMaxPinned = 64 << 20;

  la_ssize_t Next(struct archive* a, const void** buf) {
    int64_t drop_to = base_ + static_cast<int64_t>(window_.size()) - static_cast<int64_t>(kKeep);
    if (pinned_) drop_to = std::min(drop_to, pin_);
    // Compacted in large steps so that the kept tail is not moved per chunk.
    if (drop_to - base_ >= static_cast<int64_t>(kCompactStep)) {
      window_.erase(window_.begin(), window_.begin() + (drop_to - base_));
      base_ = drop_to;
    }
    if (pinned_ && base_ + static_cast<int64_t>(window_.size()) - pin_ > static_cast<int64_t>(kMaxPinned)) {
      archive_set_error(a, EFBIG, "tar header too large");
      return -1;
    }
    size_t old = window_.size();
    window_.resize(old + kChunk);
    auto n = gz_->Read(reinterpret_cast<unsigned char*>(window_.data() + old), kChunk);
    if (!n.ok()) {
      window_.resize(old);
      archive_set_error(a, EIO, "%s", n.error().message().c_str());
      return -1;
    }
    window_.resize(old + *n);
    *buf = window_.data() + old;
    return static_cast<la_ssize_t>(*n);
  }

  GzipReader* gz_;
  std::vector<char> window_;
  int64_t base_ = 0;
  bool pinned_ = false;
  int64_t pin_ = 0;
};

int64_t ParseNumber(const char* field, size_t size) {
  const unsigned char* p = reinterpret_cast<const unsigned char*>(field);
  if (p[0] & 0x80) {
    // Base-256: big-endian two's complement with the top bit as marker.
    uint64_t v = p[0] & 0x3f;
    for (size_t i = 1; i < size; ++i) v = (v << 8) | p[i];
    return (p[0] & 0x40) ? -1 : static_cast<int64_t>(v);
  }
  size_t i = 0;
  while (i < size && (p[i] == ' ' || p[i] == 0)) ++i;
  int64_t v = 0;
  for (; i < size && p[i] >= '0' && p[i] <= '7'; ++i) v = v * 8 + (p[i] - '0');
  return v;
}

// Checks the PAX records of an extended header: a name or link target with
// a NUL byte would reach us cut short.
Error CheckPaxRecords(std::string_view data) {
  while (!data.empty()) {
    size_t sp = data.find(' ');
    if (sp == std::string_view::npos) break;
    int64_t len = 0;
    for (size_t i = 0; i < sp; ++i) {
      if (data[i] < '0' || data[i] > '9') return Error();  // libarchive judges the syntax
      len = len * 10 + (data[i] - '0');
      if (len > static_cast<int64_t>(data.size())) return Error();
    }
    if (len <= static_cast<int64_t>(sp)) return Error();
    std::string_view rec = data.substr(sp + 1, static_cast<size_t>(len) - sp - 1);
    if (!rec.empty() && rec.back() == '\n') rec.remove_suffix(1);
    size_t eq = rec.find('=');
    if (eq != std::string_view::npos) {
      std::string_view key = rec.substr(0, eq), value = rec.substr(eq + 1);
      if ((key == "path" || key == "linkpath") && value.find('\0') != std::string_view::npos) {
        return Error::Msg(util::Sprintf("invalid tar header: %.*s holds a NUL byte",
                                        static_cast<int>(key.size()), key.data()));
      }
    }
    data.remove_prefix(static_cast<size_t>(len));
  }
  return Error();
}

// The raw headers of one member (extended headers, then the main one):
// returns the main header's type byte after checking the names carried in
// extended records.
Result<char> InspectHeaders(const std::string& raw) {
  size_t off = 0;
  while (off + 512 <= raw.size()) {
    const char* blk = raw.data() + off;
    char type = blk[156];
    int64_t size = ParseNumber(blk + 124, 12);
    if (type != 'x' && type != 'g' && type != 'L' && type != 'K') return type;
    if (size < 0) return Error::Msg("invalid tar header: negative size");
    size_t data_off = off + 512;
    size_t data_end = data_off + static_cast<size_t>(std::min<int64_t>(size, static_cast<int64_t>(raw.size())));
    if (data_end > raw.size()) data_end = raw.size();
    std::string_view data(raw.data() + data_off, data_end - data_off);
    if (type == 'x') {
      ZOL_TRY(CheckPaxRecords(data));
    } else if (type == 'L' || type == 'K') {
      // A GNU long name is NUL-terminated; a NUL before its last byte that
      // is followed by more text would cut it.
      while (!data.empty() && data.back() == '\0') data.remove_suffix(1);
      if (data.find('\0') != std::string_view::npos) return Error::Msg("invalid tar header: name holds a NUL byte");
    }
    off = data_off + ((static_cast<size_t>(size) + 511) / 512) * 512;
  }
  return Error::Msg("invalid tar header: main header not found");
}

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
  struct archive* a;
  Stream* stream;
  std::vector<CreatedLink> links = {};
  std::vector<char> buf = std::vector<char>(kCopyBuffer);
};

std::string RelOf(const Extractor& x, const std::string& target) {
  return target == x.clean_dest ? std::string() : target.substr(x.prefix.size());
}

bool Inside(const Extractor& x, const std::string& path, bool dest_itself_ok) {
  return util::HasPrefix(path + "/", x.prefix) || (dest_itself_ok && path == x.clean_dest);
}

std::string StripDotSlash(const std::string& s) { return util::HasPrefix(s, "./") ? s.substr(2) : s; }

Error TotalExceeded() {
  return Error::Msg(util::Sprintf("total extraction size limit exceeded (%d GB)",
                                  static_cast<int>(kMaxExtractTotalSize >> 30)));
}

Error WriteAll(int fd, const char* p, size_t n, const std::string& path) {
  while (n > 0) {
    ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return Error::Errno("write", path, errno);
    }
    p += w;
    n -= static_cast<size_t>(w);
  }
  return Error();
}

Result<int64_t> ExtractRegular(Extractor& x, archive_entry* e, const std::string& name,
                               const std::string& target, int64_t total) {
  const int64_t size = archive_entry_size(e);
  if (size > x.limits.per_file) {
    return Error::Msg(util::Sprintf("file %s exceeds max size limit (%d MB)", name.c_str(),
                                    static_cast<int>(kMaxExtractFileSize >> 20)));
  }
  const int64_t new_total = total + (size > 0 ? size : 0);
  if (new_total > x.limits.total) return TotalExceeded();
  const std::string rel = RelOf(x, target);
  const mode_t perm = archive_entry_perm(e) & 0777;
  const std::string parent = util::DirName(target);
  ZOL_TRY(x.root->MkdirAll(util::DirName(rel), 0755).Wrap(util::Sprintf("mkdir parent %s", parent.c_str())));
  auto f = x.root->OpenFile(rel, O_WRONLY | O_CREAT | O_TRUNC, perm);
  if (!f.ok()) return f.error().Wrap(util::Sprintf("create file %s", target.c_str()));

  Error copy;
  int64_t copied = 0;
  while (copied < x.limits.per_file) {
    size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(x.buf.size()), x.limits.per_file - copied));
    la_ssize_t n = archive_read_data(x.a, x.buf.data(), want);
    if (n < 0) {
      copy = Error::Msg(archive_error_string(x.a) ? archive_error_string(x.a) : "read error");
      break;
    }
    if (n == 0) break;
    copy = WriteAll(f->get(), x.buf.data(), static_cast<size_t>(n), target);
    if (!copy.ok()) break;
    copied += n;
  }
  int fd = f->Release();
  if (!copy.ok()) {
    if (::close(fd) != 0) {
      Error c = Error::Errno("close", target, errno);
      return Error::WithCause(util::Sprintf("copy file %s: %s (close: %s)", target.c_str(),
                                            copy.message().c_str(), c.message().c_str()),
                              copy);
    }
    return copy.Wrap(util::Sprintf("copy file %s", target.c_str()));
  }
  // The mode is set exactly through the descriptor, so the umask does not
  // reduce it and no link can redirect it.
  if (::fchmod(fd, perm) != 0) {
    Error c = Error::Errno("chmod", target, errno);
    ::close(fd);
    return c.Wrap(util::Sprintf("chmod %s", target.c_str()));
  }
  if (::close(fd) != 0) return Error::Errno("close", target, errno).Wrap(util::Sprintf("close file %s", target.c_str()));
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
  if (total + ist.st_size > x.limits.total) return TotalExceeded();

  auto out = x.root->OpenFile(rel, O_WRONLY | O_CREAT, perm);
  if (!out.ok()) return out.error().Wrap(write_ctx);
  struct stat ost;
  if (::fstat(out->get(), &ost) != 0) return Error::Errno("write", target, errno).Wrap(write_ctx);
  // Already the same file: truncating it would destroy the content.
  if (ost.st_dev == ist.st_dev && ost.st_ino == ist.st_ino) return total + ist.st_size;
  if (::ftruncate(out->get(), 0) != 0) return Error::Errno("truncate", target, errno).Wrap(write_ctx);
  int64_t copied = 0;
  for (;;) {
    ssize_t n = ::read(in->get(), x.buf.data(), x.buf.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::Errno("read", link_target, errno).Wrap(read_ctx);
    }
    if (n == 0) break;
    copied += n;
    if (total + copied > x.limits.total) return TotalExceeded();
    ZOL_TRY(WriteAll(out->get(), x.buf.data(), static_cast<size_t>(n), target).Wrap(write_ctx));
  }
  if (::close(out->Release()) != 0) return Error::Errno("close", target, errno).Wrap(write_ctx);
  return total + copied;
}

Result<int64_t> ExtractHardLink(Extractor& x, archive_entry* e, const std::string& name,
                                const std::string& target, int64_t total) {
  const std::string stored = archive_entry_hardlink(e);
  const std::string link_target = util::JoinPath(x.clean_dest, StripDotSlash(stored));
  if (!Inside(x, link_target, false)) {
    return Error::Msg(util::Sprintf("hard link escape rejected: %s -> %s", name.c_str(), stored.c_str()));
  }
  const std::string rel = RelOf(x, target);
  const std::string old_rel = RelOf(x, link_target);
  const std::string parent = util::DirName(target);
  ZOL_TRY(x.root->MkdirAll(util::DirName(rel), 0755)
              .Wrap(util::Sprintf("mkdir parent for hardlink %s", parent.c_str())));
  if (!x.root->Link(old_rel, rel).ok()) {
    return HardLinkCopy(x, old_rel, link_target, rel, target, archive_entry_perm(e) & 0777, total);
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

Error ExtractSymlink(Extractor& x, archive_entry* e, const std::string& name, const std::string& target) {
  const char* ln = archive_entry_symlink(e);
  const std::string linkname = ln ? ln : "";
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

Result<int64_t> ExtractEntry(Extractor& x, archive_entry* e, char raw_type, int64_t total) {
  const char* p = archive_entry_pathname(e);
  const std::string stored = p ? p : "";
  const std::string name = StripDotSlash(stored);
  if (util::HasPrefix(name, "/")) return Error::Msg(util::Sprintf("absolute path rejected: %s", name.c_str()));
  if (name.find("..") != std::string::npos) {
    return Error::Msg(util::Sprintf("path with .. rejected: %s", name.c_str()));
  }
  const std::string target = util::JoinPath(x.clean_dest, name);
  if (!Inside(x, target, true)) {
    return Error::Msg(util::Sprintf("path traversal detected: %s", stored.c_str()));
  }

  switch (raw_type) {
    case '\0':
      // The legacy regular type stands for a directory when its name ends
      // in "/".
      if (util::HasSuffix(stored, "/")) break;
      return ExtractRegular(x, e, name, target, total);
    case '0':
      return ExtractRegular(x, e, name, target, total);
    case '1':
      return ExtractHardLink(x, e, name, target, total);
    case '2':
      ZOL_TRY(ExtractSymlink(x, e, name, target));
      return total;
    case '5':
      break;
    default:
      // Devices, FIFOs, contiguous and sparse files, unknown types.
      return total;
  }
  const std::string rel = RelOf(x, target);
  ZOL_TRY(x.root->MkdirAll(rel, archive_entry_perm(e) & 0777).Wrap(util::Sprintf("mkdir %s", target.c_str())));
  return total;
}

Error ArchiveError(struct archive* a) {
  const char* s = archive_error_string(a);
  return Error::Msg(s ? s : "unknown tar error");
}

Error ExtractStream(Extractor& x) {
  int64_t total = 0;
  for (bool first = true;; first = false) {
    // The rest of the previous member is skipped before pinning, so a large
    // skipped member is never held in memory.
    if (!first && archive_read_data_skip(x.a) != ARCHIVE_OK) return ArchiveError(x.a).Wrap("tar next");
    x.stream->Pin(archive_filter_bytes(x.a, 0));
    archive_entry* e = nullptr;
    int r = archive_read_next_header(x.a, &e);
    if (r == ARCHIVE_EOF) {
      x.stream->Unpin();
      break;
    }
    // A warning is a name libarchive cannot convert to the locale; the raw
    // bytes are used as they are.
    if (r < ARCHIVE_WARN) return ArchiveError(x.a).Wrap("tar next");
    std::string raw;
    if (!x.stream->Bytes(archive_read_header_position(x.a), archive_filter_bytes(x.a, 0), raw)) {
      return Error::Msg("tar header not retained").Wrap("tar next");
    }
    x.stream->Unpin();
    auto type = InspectHeaders(raw);
    if (!type.ok()) return type.error().Wrap("tar next");
    auto t = ExtractEntry(x, e, *type, total);
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
  return Error();
}

}  // namespace

Error ExtractTarGzWithLimits(const std::string& package, const std::string& dest, const ExtractLimits& limits) {
  UniqueFd src(::open(package.c_str(), O_RDONLY | O_CLOEXEC));
  if (!src.valid()) return Error::Errno("open", package, errno).Wrap("open source");
  Error first;
  {
    GzipReader gz;
    first = gz.Open(src.get());
    if (!first.ok()) {
      first = first.Wrap("gzip reader");
    } else {
      Stream stream(&gz);
      struct archive* a = archive_read_new();
      archive_read_support_format_tar(a);
      if (archive_read_open(a, &stream, nullptr, &Stream::ReadCallback, nullptr) != ARCHIVE_OK) {
        first = ArchiveError(a).Wrap("tar next");
      } else {
        auto root = Root::Open(dest);
        if (!root.ok()) {
          first = root.error();
        } else {
          Extractor x{&*root, util::CleanPath(dest), util::CleanPath(dest) + "/", limits, a, &stream};
          first = ExtractStream(x);
          // A stream cut short or damaged after the end of the archive is
          // still a damaged package: read it to its end.
          if (first.ok()) {
            std::vector<unsigned char> sink(64 * 1024);
            for (;;) {
              auto n = gz.Read(sink.data(), sink.size());
              if (!n.ok()) {
                first = n.error().Wrap("tar next");
                break;
              }
              if (*n == 0) break;
            }
          }
        }
      }
      archive_read_free(a);
    }
  }
  if (::close(src.Release()) != 0 && first.ok()) {
    first = Error::Errno("close", package, errno).Wrap("close source");
  }
  return first;
}

Error ExtractTarGz(const std::string& package, const std::string& dest) {
  return ExtractTarGzWithLimits(package, dest, ExtractLimits{});
}

Result<std::optional<std::string>> ReadLastMember(const std::string& package, const std::string& name,
                                                  size_t max_bytes) {
  UniqueFd src(::open(package.c_str(), O_RDONLY | O_CLOEXEC));
  if (!src.valid()) return Error::Errno("open", package, errno);
  GzipReader gz;
  ZOL_TRY(gz.Open(src.get()).Wrap("gzip reader"));
  Stream stream(&gz);
  struct archive* a = archive_read_new();
  archive_read_support_format_tar(a);
  std::optional<std::string> found;
  Error err;
  if (archive_read_open(a, &stream, nullptr, &Stream::ReadCallback, nullptr) != ARCHIVE_OK) {
    err = ArchiveError(a).Wrap("tar next");
  }
  while (err.ok()) {
    archive_entry* e = nullptr;
    int r = archive_read_next_header(a, &e);
    if (r == ARCHIVE_EOF) break;
    if (r < ARCHIVE_WARN) {
      err = ArchiveError(a).Wrap("tar next");
      break;
    }
    const char* raw = archive_entry_pathname(e);
    if (raw == nullptr || StripDotSlash(raw) != name || archive_entry_filetype(e) != AE_IFREG) continue;
    if (archive_entry_size(e) < 0 || static_cast<uint64_t>(archive_entry_size(e)) > max_bytes) {
      err = Error::Msg(name + ": member larger than " + std::to_string(max_bytes) + " bytes");
      break;
    }
    std::string data(static_cast<size_t>(archive_entry_size(e)), '\0');
    la_ssize_t n = data.empty() ? 0 : archive_read_data(a, data.data(), data.size());
    if (n < 0 || static_cast<size_t>(n) != data.size()) {
      err = ArchiveError(a).Wrap("read " + name);
      break;
    }
    found = std::move(data);
  }
  archive_read_free(a);
  if (!err.ok()) return err;
  return found;
}

}  // namespace pkgfmt
