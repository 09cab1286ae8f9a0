#include "internal/builder/decompress.h"

#include <archive.h>
#include <archive_entry.h>

#include <vector>

namespace builder {

using pkgfmt::ByteReader;
using pkgfmt::Codec;
using util::Error;
using util::Result;

namespace {
constexpr size_t kChunk = 64 * 1024;
}  // namespace

// libarchive reads the tar layer only; decoding stays ours so that every
// stream is recognised by its leading bytes alone and a cut stream surfaces
// as an error with our text.
struct TarReader::Impl {
  std::unique_ptr<ByteReader> stream;
  struct archive* a = nullptr;
  std::vector<char> buf = std::vector<char>(kChunk);
  Error stream_err;
  // libarchive recognises the format while opening; its failure is reported
  // by the first Next(), where reading entries fails for everyone else.
  Error open_err;

  ~Impl() {
    if (a) archive_read_free(a);
  }

  static la_ssize_t ReadCb(struct archive* a, void* self, const void** out) {
    auto* impl = static_cast<Impl*>(self);
    auto n = impl->stream->Read(impl->buf.data(), impl->buf.size());
    if (!n.ok()) {
      impl->stream_err = n.error();
      archive_set_error(a, EIO, "%s", n.error().message().c_str());
      return -1;
    }
    *out = impl->buf.data();
    return static_cast<la_ssize_t>(*n);
  }

  Error Drain() {
    for (;;) {
      auto n = stream->Read(buf.data(), buf.size());
      if (!n.ok()) return n.error();
      if (*n == 0) return {};
    }
  }

  Error ArchiveError() const {
    if (!stream_err.ok()) return stream_err;
    const char* s = archive_error_string(a);
    return Error::Msg(s ? s : "tar archive error");
  }
};

TarReader::TarReader(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TarReader::~TarReader() = default;

Result<std::unique_ptr<TarReader>> TarReader::Open(std::unique_ptr<ByteReader> stream) {
  auto impl = std::make_unique<Impl>();
  impl->stream = std::move(stream);
  impl->a = archive_read_new();
  if (impl->a == nullptr) return Error::Msg("tar: cannot allocate reader");
  // "empty" only answers for a stream with no bytes at all: an empty archive.
  if (archive_read_support_format_tar(impl->a) != ARCHIVE_OK ||
      archive_read_support_format_empty(impl->a) != ARCHIVE_OK) {
    return impl->ArchiveError();
  }
  if (archive_read_open(impl->a, impl.get(), nullptr, &Impl::ReadCb, nullptr) != ARCHIVE_OK) {
    impl->open_err = impl->ArchiveError();
  }
  return std::unique_ptr<TarReader>(new TarReader(std::move(impl)));
}

Result<bool> TarReader::Next(TarEntry* entry) {
  if (!impl_->open_err.ok()) return impl_->open_err;
  struct archive_entry* e = nullptr;
  const int rc = archive_read_next_header(impl_->a, &e);
  // A failed read can look like an empty archive to the format detection.
  if (!impl_->stream_err.ok()) return impl_->stream_err;
  if (rc == ARCHIVE_EOF) {
    // The tar layer stops at its end blocks; the rest of the stream is read
    // too, so that a cut or damaged tail (a missing gzip trailer, say) fails
    // instead of passing for a complete archive.
    ZOL_TRY(impl_->Drain());
    return false;
  }
  // ARCHIVE_RETRY is a header that failed its checksum: libarchive would skip
  // it and go on, silently dropping the member it described.
  if (rc != ARCHIVE_OK && rc != ARCHIVE_WARN) return impl_->ArchiveError();
  const char* name = archive_entry_pathname(e);
  entry->name = name ? name : "";
  entry->mode = archive_entry_perm(e) & 07777;
  entry->size = archive_entry_size(e);
  entry->link.clear();
  if (const char* hl = archive_entry_hardlink(e)) {
    entry->type = TarEntry::Type::kHardLink;
    entry->link = hl;
    return true;
  }
  switch (archive_entry_filetype(e)) {
    case AE_IFREG: entry->type = TarEntry::Type::kRegular; break;
    case AE_IFDIR: entry->type = TarEntry::Type::kDirectory; break;
    case AE_IFLNK: {
      entry->type = TarEntry::Type::kSymlink;
      const char* target = archive_entry_symlink(e);
      entry->link = target ? target : "";
      break;
    }
    default: entry->type = TarEntry::Type::kOther; break;
  }
  return true;
}

Result<size_t> TarReader::Read(char* buf, size_t n) {
  if (!impl_->open_err.ok()) return impl_->open_err;
  const la_ssize_t k = archive_read_data(impl_->a, buf, n);
  if (k < 0 || !impl_->stream_err.ok()) return impl_->ArchiveError();
  return static_cast<size_t>(k);
}

Result<std::unique_ptr<TarReader>> newTarReader(std::string_view data) {
  std::unique_ptr<ByteReader> stream;
  switch (pkgfmt::SniffCodec(data)) {
    case Codec::kGzip: {
      auto r = pkgfmt::NewGzipReader(data);
      if (!r.ok()) return r.error().Wrap("gzip reader");
      stream = std::move(*r);
      break;
    }
    case Codec::kXz: {
      auto r = pkgfmt::NewXzReader(data);
      if (!r.ok()) return r.error().Wrap("xz reader");
      stream = std::move(*r);
      break;
    }
    case Codec::kBzip2: stream = pkgfmt::NewBzip2Reader(data); break;
    case Codec::kZstd: {
      auto r = pkgfmt::NewZstdReader(data);
      if (!r.ok()) return r.error().Wrap("zstd reader");
      stream = std::move(*r);
      break;
    }
    case Codec::kNone: stream = pkgfmt::NewPlainReader(data); break;
  }
  return TarReader::Open(std::move(stream));
}

}  // namespace builder
