#include "internal/pkgfmt/tar_reader.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "internal/pkgfmt/read_ahead.h"
#include "internal/util/fd.h"
#include "internal/util/strings.h"

namespace pkgfmt {

using util::Error;
using util::Result;

namespace {

// Bytes that are always overwritten before they are read, so growing them
// does not zero them first: every byte of a package passes through one.
class RawBytes {
 public:
  char* data() { return buf_.get(); }
  const char* data() const { return buf_.get(); }
  size_t size() const { return size_; }
  void resize(size_t n) {
    if (n > cap_) {
      const size_t cap = std::max(n, cap_ * 2);
      auto grown = std::make_unique_for_overwrite<char[]>(cap);
      if (size_ > 0) std::memcpy(grown.get(), buf_.get(), size_);
      buf_ = std::move(grown);
      cap_ = cap;
    }
    size_ = n;
  }
  void EraseFront(size_t n) {
    std::memmove(buf_.get(), buf_.get() + n, size_ - n);
    size_ -= n;
  }

 private:
  std::unique_ptr<char[]> buf_;
  size_t size_ = 0;
  size_t cap_ = 0;
};

// The decoded stream as handed to libarchive. When raw headers are read,
// the bytes from the start of a header are kept while it is read, so the raw
// header blocks can be checked for what libarchive silently drops: the type
// byte it maps to "regular" and NUL bytes inside names, where it truncates.
class Stream {
 public:
  Stream(std::unique_ptr<ByteReader> in, bool retain) : in_(std::move(in)), retain_(retain) {}

  static la_ssize_t ReadCallback(struct archive* a, void* self, const void** buf) {
    return static_cast<Stream*>(self)->Next(a, buf);
  }

  // Keep everything from stream offset `from` until Unpin().
  void Pin(int64_t from) {
    pinned_ = true;
    pin_ = from;
  }
  void Unpin() { pinned_ = false; }

  // The stream's own failure, if reading it failed.
  const Error& failed() const { return failed_; }
  ByteReader& in() { return *in_; }

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
    if (!retain_) {
      window_.resize(kChunk);
      auto n = in_->Read(window_.data(), kChunk);
      if (!n.ok()) return Failed(a, n.error());
      *buf = window_.data();
      return static_cast<la_ssize_t>(*n);
    }
    int64_t drop_to = base_ + static_cast<int64_t>(window_.size()) - static_cast<int64_t>(kKeep);
    if (pinned_) drop_to = std::min(drop_to, pin_);
    // Compacted in large steps so that the kept tail is not moved per chunk.
    if (drop_to - base_ >= static_cast<int64_t>(kCompactStep)) {
      window_.EraseFront(static_cast<size_t>(drop_to - base_));
      base_ = drop_to;
    }
    if (pinned_ && base_ + static_cast<int64_t>(window_.size()) - pin_ > static_cast<int64_t>(kMaxPinned)) {
      archive_set_error(a, EFBIG, "tar header too large");
      return -1;
    }
    size_t old = window_.size();
    window_.resize(old + kChunk);
    auto n = in_->Read(window_.data() + old, kChunk);
    if (!n.ok()) {
      window_.resize(old);
      return Failed(a, n.error());
    }
    window_.resize(old + *n);
    *buf = window_.data() + old;
    return static_cast<la_ssize_t>(*n);
  }

  la_ssize_t Failed(struct archive* a, const Error& e) {
    failed_ = e;
    archive_set_error(a, EIO, "%s", e.message().c_str());
    return -1;
  }

  std::unique_ptr<ByteReader> in_;
  bool retain_;
  Error failed_;
  RawBytes window_;
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
    // Solaris extended ('X') and ACL ('A') headers describe the member that
    // follows them, as PAX and GNU long-name headers do.
    if (type != 'x' && type != 'g' && type != 'L' && type != 'K' && type != 'X' && type != 'A') return type;
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

}  // namespace

struct TarReader::Impl {
  util::UniqueFd fd;
  std::string path;
  TarReadOptions options;
  std::unique_ptr<Stream> stream;
  struct archive* a = nullptr;
  bool in_member = false;
  // libarchive reads the first bytes while opening; its failure is reported
  // by the first Next(), where reading members fails for everyone else.
  Error open_err;
  ~Impl() {
    if (a != nullptr) archive_read_free(a);
  }

  // The stream's failure comes first: libarchive may have put its own
  // words on it, or taken a failed read for an empty archive.
  Error ArchiveError() const {
    if (!stream->failed().ok()) return stream->failed();
    const char* s = archive_error_string(a);
    return Error::Msg(s ? s : "unknown tar error");
  }
};

TarReader::TarReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TarReader::~TarReader() = default;

Result<std::unique_ptr<TarReader>> TarReader::Open(std::unique_ptr<ByteReader> stream, const TarReadOptions& options) {
  auto impl = std::make_unique<Impl>();
  impl->options = options;
  impl->stream = std::make_unique<Stream>(std::move(stream), options.raw_headers);
  impl->a = archive_read_new();
  if (impl->a == nullptr) return Error::Msg("cannot start the tar reader");
  // "empty" only answers for a stream with no bytes at all.
  if (archive_read_support_format_tar(impl->a) != ARCHIVE_OK ||
      (options.empty_stream_ok && archive_read_support_format_empty(impl->a) != ARCHIVE_OK)) {
    return impl->ArchiveError();
  }
  if (archive_read_open(impl->a, impl->stream.get(), nullptr, &Stream::ReadCallback, nullptr) != ARCHIVE_OK) {
    impl->open_err = impl->ArchiveError();
  }
  return std::unique_ptr<TarReader>(new TarReader(std::move(impl)));
}

Result<std::unique_ptr<TarReader>> TarReader::OpenPackage(const std::string& package, Sha256* hash) {
  util::UniqueFd fd;
  // O_NONBLOCK so that a FIFO named like a package cannot block the open;
  // only a regular file (or a directory, which fails as a read) goes on.
  fd.Reset(::open(package.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return Error::Errno("open", package, errno).Wrap("open source");
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return Error::Errno("stat", package, errno).Wrap("open source");
  if (!S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
    return Error::Msg("open " + package + ": not a regular file").Wrap("open source");
  }
  if (::fcntl(fd.get(), F_SETFL, 0) != 0) return Error::Errno("open", package, errno).Wrap("open source");
  ZOL_ASSIGN_OR_RETURN(auto gz, NewGzipFileReader(fd.get(), package, hash), "gzip reader");
  TarReadOptions options;
  options.raw_headers = true;
  // Inflating runs beside the extraction that consumes it, as it would in a
  // pipe from gzip into tar. The descriptor outlives that thread: Close and
  // the destructor stop it first.
  auto tar = Open(NewReadAheadReader(std::move(gz)), options);
  if (!tar.ok()) return tar.error().Wrap("gzip reader");
  (*tar)->impl_->fd = std::move(fd);
  (*tar)->impl_->path = package;
  return tar;
}

Result<bool> TarReader::Next(TarMember* m) {
  Impl& x = *impl_;
  if (!x.open_err.ok()) return x.open_err;
  // The rest of the previous member is skipped before pinning, so a large
  // skipped member is never held in memory.
  if (x.in_member && archive_read_data_skip(x.a) != ARCHIVE_OK) return x.ArchiveError();
  x.in_member = false;
  if (x.options.raw_headers) x.stream->Pin(archive_filter_bytes(x.a, 0));
  archive_entry* e = nullptr;
  const int r = archive_read_next_header(x.a, &e);
  if (!x.stream->failed().ok()) return x.stream->failed();
  if (r == ARCHIVE_EOF) {
    x.stream->Unpin();
    // The tar layer stops at its end blocks; the rest of the stream is read
    // too, so that a cut or damaged tail (a missing gzip trailer, say) fails
    // instead of passing for a complete archive.
    if (x.options.drain_at_end) ZOL_TRY(CheckTrailer());
    return false;
  }
  // A warning is a name libarchive cannot convert to the locale; the raw
  // bytes are used as they are. ARCHIVE_RETRY is a header that failed its
  // checksum: libarchive would go on with the next block, dropping the member.
  if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return x.ArchiveError();
  m->type = 0;
  if (x.options.raw_headers) {
    std::string raw;
    const bool kept = x.stream->Bytes(archive_read_header_position(x.a), archive_filter_bytes(x.a, 0), raw);
    x.stream->Unpin();
    if (!kept) return Error::Msg("tar header not retained");
    ZOL_ASSIGN_OR_RETURN(m->type, InspectHeaders(raw));
  }
  x.in_member = true;
  const char* name = archive_entry_pathname(e);
  const char* hard = archive_entry_hardlink(e);
  const char* sym = archive_entry_symlink(e);
  m->name = name ? name : "";
  m->size = archive_entry_size(e);
  m->linkname = hard ? hard : sym ? sym : "";
  m->mode = archive_entry_perm(e) & 07777;
  m->sparse = archive_entry_sparse_count(e) > 0;
  if (hard != nullptr) {
    m->kind = TarMember::Kind::kHardLink;
  } else {
    switch (archive_entry_filetype(e)) {
      case AE_IFREG: m->kind = TarMember::Kind::kRegular; break;
      case AE_IFDIR: m->kind = TarMember::Kind::kDirectory; break;
      case AE_IFLNK: m->kind = TarMember::Kind::kSymlink; break;
      default: m->kind = TarMember::Kind::kOther; break;
    }
  }
  return true;
}

Result<size_t> TarReader::Read(char* buf, size_t n) {
  if (!impl_->open_err.ok()) return impl_->open_err;
  const la_ssize_t r = archive_read_data(impl_->a, buf, n);
  if (r < 0 || !impl_->stream->failed().ok()) return impl_->ArchiveError();
  return static_cast<size_t>(r);
}

Result<bool> TarReader::ReadBlock(Block* block) {
  if (!impl_->open_err.ok()) return impl_->open_err;
  const void* buf = nullptr;
  size_t size = 0;
  la_int64_t offset = 0;
  const int r = archive_read_data_block(impl_->a, &buf, &size, &offset);
  if (!impl_->stream->failed().ok()) return impl_->stream->failed();
  if (r == ARCHIVE_EOF) return false;
  if (r != ARCHIVE_OK && r != ARCHIVE_WARN) return impl_->ArchiveError();
  block->data = static_cast<const char*>(buf);
  block->size = size;
  block->offset = offset;
  return true;
}

Error TarReader::CheckTrailer() {
  std::vector<char> sink(64 * 1024);
  for (;;) {
    auto n = impl_->stream->in().Read(sink.data(), sink.size());
    if (!n.ok()) return n.error();
    if (*n == 0) return Error();
  }
}

Error TarReader::Close() {
  if (impl_->a != nullptr) {
    archive_read_free(impl_->a);
    impl_->a = nullptr;
  }
  impl_->stream.reset();
  if (impl_->fd.valid() && ::close(impl_->fd.Release()) != 0) {
    return Error::Errno("close", impl_->path, errno).Wrap("close source");
  }
  return Error();
}

Result<std::unique_ptr<TarReader>> OpenTarInMemory(std::string_view data) {
  std::unique_ptr<ByteReader> stream;
  switch (SniffCodec(data)) {
    case Codec::kGzip: {
      ZOL_ASSIGN_OR_RETURN(stream, NewGzipReader(data), "gzip reader");
      break;
    }
    case Codec::kXz: {
      ZOL_ASSIGN_OR_RETURN(stream, NewXzReader(data), "xz reader");
      break;
    }
    case Codec::kBzip2: stream = NewBzip2Reader(data); break;
    case Codec::kZstd: {
      ZOL_ASSIGN_OR_RETURN(stream, NewZstdReader(data), "zstd reader");
      break;
    }
    case Codec::kNone: stream = NewPlainReader(data); break;
  }
  TarReadOptions options;
  options.empty_stream_ok = true;
  options.drain_at_end = true;
  return TarReader::Open(std::move(stream), options);
}

}  // namespace pkgfmt
