#include "internal/pkgfmt/pack_tree.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "internal/pkgfmt/gzip_sink.h"
#include "internal/pkgfmt/tar_writer.h"
#include "internal/util/dir_list.h"
#include "internal/util/fd.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace pkgfmt {

using util::Error;
using util::UniqueFd;

namespace {

constexpr size_t kCopyBuffer = 128 * 1024;

// Walks the tree below an open directory: each directory before its
// contents, the names within one directory in byte order, links never
// followed. Every object is reached through the descriptor of its directory,
// so nothing outside the source is read even if the tree changes meanwhile.
class Packer {
 public:
  Packer(std::string source, TarWriter* tar, const PackOptions& options)
      : source_(std::move(source)), tar_(tar), options_(options) {}

  Error Dir(int dirfd, const std::string& rel) {
    ZOL_ASSIGN_OR_RETURN(auto names, util::ListDir(dirfd, Full(rel)));
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
    if (options_.check) ZOL_TRY(options_.check(*h));
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

  std::string ContentContext(std::string_view step, const std::string& full) const {
    return options_.content_context ? options_.content_context(step, full) : std::string();
  }
  Error InContext(std::string_view step, const std::string& full, Error e) const {
    const std::string context = ContentContext(step, full);
    return context.empty() ? e : e.Wrap(context);
  }
  Error Copy(const std::string& full, const Error& copy, const Error* close) const {
    const std::string context = ContentContext("copy", full);
    if (context.empty()) return copy;
    if (close == nullptr) return copy.Wrap(context);
    return Error::WithCause(
        util::Sprintf("%s: %s (close: %s)", context.c_str(), copy.message().c_str(), close->message().c_str()), copy);
  }
  Error Content(int dirfd, const std::string& name, const std::string& full) {
    UniqueFd f(::openat(dirfd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    if (!f.valid()) return InContext("open", full, Error::Errno("open", full, errno));
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
        return Copy(full, copy, &c);
      }
      return Copy(full, copy, nullptr);
    }
    if (::close(fd) != 0) return InContext("close", full, Error::Errno("close", full, errno));
    return Error();
  }

  std::string source_;
  TarWriter* tar_;
  const PackOptions& options_;
  std::vector<char> buf_ = std::vector<char>(kCopyBuffer);
};

}  // namespace

Error PackTree(const std::string& source_dir, TarWriter* tar, const PackOptions& options) {
  struct stat st;
  const bool follow = options.follow_source_link;
  if ((follow ? ::stat(source_dir.c_str(), &st) : ::lstat(source_dir.c_str(), &st)) != 0) {
    return Error::Errno(follow ? "stat" : "lstat", source_dir, errno);
  }
  // The source itself has no member; only what lies below it.
  if (!S_ISDIR(st.st_mode)) return Error();
  UniqueFd root(::open(source_dir.c_str(), O_RDONLY | O_DIRECTORY | (follow ? 0 : O_NOFOLLOW) | O_CLOEXEC));
  if (!root.valid()) return Error::Errno("open", source_dir, errno);
  Packer packer(source_dir, tar, options);
  return packer.Dir(root.get(), "");
}

Error CreateTarGz(const std::string& source_dir, const std::string& output) {
  UniqueFd out(::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (!out.valid()) return Error::Errno("open", output, errno).Wrap("create output file");
  FdSink file(out.get(), output);
  auto gz = GzipSink::Make(&file, Z_DEFAULT_COMPRESSION);
  if (!gz.ok()) return gz.error().Wrap("create output file");
  TarWriter tar(gz->get());

  PackOptions options;
  options.content_context = [](std::string_view step, const std::string& path) {
    return step == "copy" ? "copy " + path + " to tar" : std::string(step) + " " + path;
  };
  Error first = PackTree(source_dir, &tar, options);

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

}  // namespace pkgfmt
