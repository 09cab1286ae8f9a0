#include "internal/builder/decompress.h"

#include <archive.h>
#include <archive_entry.h>
#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <vector>

namespace builder {
namespace {

using util::Error;
using util::Result;

constexpr size_t kChunk = 64 * 1024;
// zlib, bzip2 and liblzma count their input in 32-bit units.
constexpr size_t kMaxFeed = UINT_MAX;
// Above what any xz preset needs (-9e uses a 64 MiB dictionary): a hostile
// stream that declares a huge dictionary fails instead of taking the memory.
constexpr uint64_t kXzMemLimit = 256ull << 20;

Error UnexpectedEOF() { return Error::Msg("unexpected EOF"); }

bool HasMagic(std::string_view data, std::string_view magic) {
  return data.size() >= magic.size() && data.compare(0, magic.size(), magic) == 0;
}

// Checks the fixed part of a gzip member header and its optional fields, the
// way the decoder would on its first read, so that damage fails on opening.
Error CheckGzipHeader(std::string_view d) {
  if (d.empty()) return Error::Msg("EOF");
  if (d.size() < 10) return UnexpectedEOF();
  if (static_cast<uint8_t>(d[0]) != 0x1f || static_cast<uint8_t>(d[1]) != 0x8b ||
      static_cast<uint8_t>(d[2]) != 8) {
    return Error::Msg("gzip: invalid header");
  }
  const uint8_t flags = static_cast<uint8_t>(d[3]);
  if (flags & 0xe0) return Error::Msg("gzip: invalid header");
  size_t pos = 10;
  if (flags & 0x04) {  // FEXTRA
    if (d.size() < pos + 2) return UnexpectedEOF();
    const size_t xlen = static_cast<uint8_t>(d[pos]) | static_cast<uint8_t>(d[pos + 1]) << 8;
    pos += 2;
    if (d.size() < pos + xlen) return UnexpectedEOF();
    pos += xlen;
  }
  for (uint8_t bit : {uint8_t{0x08}, uint8_t{0x10}}) {  // FNAME, FCOMMENT
    if (!(flags & bit)) continue;
    const size_t nul = d.find('\0', pos);
    if (nul == std::string_view::npos) return UnexpectedEOF();
    pos = nul + 1;
  }
  if (flags & 0x02) {  // FHCRC: the low 16 bits of the header's CRC-32
    if (d.size() < pos + 2) return UnexpectedEOF();
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(d.data()), pos);
    const unsigned want = static_cast<uint8_t>(d[pos]) | static_cast<uint8_t>(d[pos + 1]) << 8;
    if ((crc & 0xffff) != want) return Error::Msg("gzip: invalid header");
  }
  return {};
}

class GzipReader : public ByteReader {
 public:
  explicit GzipReader(std::string_view data) : data_(data) {}
  ~GzipReader() override {
    if (init_) inflateEnd(&z_);
  }

  Error Init() {
    ZOL_TRY(CheckGzipHeader(data_));
    if (inflateInit2(&z_, 16 + MAX_WBITS) != Z_OK) return Error::Msg("gzip: cannot allocate decoder");
    init_ = true;
    return {};
  }

  Result<size_t> Read(char* buf, size_t n) override {
    if (!err_.ok()) return err_;
    if (done_ || n == 0) return size_t{0};
    const size_t want = std::min(n, kMaxFeed);
    z_.next_out = reinterpret_cast<Bytef*>(buf);
    z_.avail_out = static_cast<uInt>(want);
    while (z_.avail_out == want) {
      if (z_.avail_in == 0 && pos_ < data_.size()) Feed();
      const int rc = inflate(&z_, Z_NO_FLUSH);
      if (rc == Z_STREAM_END) {
        // Another member may follow; anything else after a member is damage.
        if (z_.avail_in == 0 && pos_ == data_.size()) {
          done_ = true;
          break;
        }
        inflateReset(&z_);
        continue;
      }
      // No progress possible: with all input used, the stream was cut.
      if (rc == Z_BUF_ERROR && z_.avail_in == 0 && pos_ == data_.size()) return Fail(UnexpectedEOF());
      if (rc != Z_OK && rc != Z_BUF_ERROR) return Fail(ZlibError(rc));
    }
    return want - z_.avail_out;
  }

 private:
  void Feed() {
    const size_t take = std::min(data_.size() - pos_, kMaxFeed);
    z_.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data_.data() + pos_));
    z_.avail_in = static_cast<uInt>(take);
    pos_ += take;
  }
  Error ZlibError(int rc) const {
    const std::string msg = z_.msg ? z_.msg : "";
    if (msg == "incorrect data check" || msg == "incorrect length check") {
      return Error::Msg("gzip: invalid checksum");
    }
    if (msg == "incorrect header check" || msg == "unknown compression method" ||
        msg == "unknown header flags set" || msg == "header crc mismatch") {
      return Error::Msg("gzip: invalid header");
    }
    if (rc == Z_MEM_ERROR) return Error::Msg("gzip: out of memory");
    return Error::Msg("gzip: corrupt input: " + (msg.empty() ? "error " + std::to_string(rc) : msg));
  }
  Error Fail(Error e) {
    err_ = e;
    return e;
  }

  std::string_view data_;
  size_t pos_ = 0;
  z_stream z_{};
  bool init_ = false;
  bool done_ = false;
  Error err_;
};

class XzReader : public ByteReader {
 public:
  explicit XzReader(std::string_view data) : data_(data) {}
  ~XzReader() override { lzma_end(&s_); }

  Error Init() {
    if (data_.size() < LZMA_STREAM_HEADER_SIZE) return UnexpectedEOF();
    lzma_stream_flags flags;
    switch (lzma_stream_header_decode(&flags, reinterpret_cast<const uint8_t*>(data_.data()))) {
      case LZMA_OK: break;
      case LZMA_DATA_ERROR: return Error::Msg("xz: stream header checksum mismatch");
      case LZMA_OPTIONS_ERROR: return Error::Msg("xz: unsupported stream header flags");
      default: return Error::Msg("xz: invalid stream header");
    }
    const lzma_ret rc = lzma_stream_decoder(&s_, kXzMemLimit, LZMA_CONCATENATED);
    if (rc != LZMA_OK) return LzmaError(rc);
    s_.next_in = reinterpret_cast<const uint8_t*>(data_.data());
    s_.avail_in = data_.size();
    return {};
  }

  Result<size_t> Read(char* buf, size_t n) override {
    if (!err_.ok()) return err_;
    if (done_ || n == 0) return size_t{0};
    s_.next_out = reinterpret_cast<uint8_t*>(buf);
    s_.avail_out = n;
    while (s_.avail_out == n) {
      // All input is given at once, so the decoder may finish at any time.
      const lzma_ret rc = lzma_code(&s_, LZMA_FINISH);
      if (rc == LZMA_STREAM_END) {
        done_ = true;
        break;
      }
      if (rc == LZMA_BUF_ERROR) return Fail(UnexpectedEOF());
      if (rc != LZMA_OK) return Fail(LzmaError(rc));
    }
    return n - s_.avail_out;
  }

 private:
  static Error LzmaError(lzma_ret rc) {
    switch (rc) {
      case LZMA_FORMAT_ERROR: return Error::Msg("xz: invalid header magic");
      case LZMA_OPTIONS_ERROR: return Error::Msg("xz: unsupported options");
      case LZMA_DATA_ERROR: return Error::Msg("xz: corrupt data");
      case LZMA_MEM_ERROR: return Error::Msg("xz: out of memory");
      case LZMA_MEMLIMIT_ERROR: return Error::Msg("xz: dictionary exceeds the memory limit");
      default: return Error::Msg("xz: decoder error " + std::to_string(static_cast<int>(rc)));
    }
  }
  Error Fail(Error e) {
    err_ = e;
    return e;
  }

  std::string_view data_;
  lzma_stream s_ = LZMA_STREAM_INIT;
  bool done_ = false;
  Error err_;
};

class Bzip2Reader : public ByteReader {
 public:
  explicit Bzip2Reader(std::string_view data) : data_(data) {}
  ~Bzip2Reader() override {
    if (init_) BZ2_bzDecompressEnd(&s_);
  }

  Result<size_t> Read(char* buf, size_t n) override {
    if (!err_.ok()) return err_;
    if (done_ || n == 0) return size_t{0};
    const size_t want = std::min(n, kMaxFeed);
    s_.next_out = buf;
    s_.avail_out = static_cast<unsigned>(want);
    while (s_.avail_out == want) {
      if (!init_) {
        // Set up lazily, and again for each stream of a concatenation (as
        // parallel compressors write them).
        char* in = s_.next_in;
        const unsigned in_left = s_.avail_in;
        std::memset(&s_, 0, sizeof s_);
        if (BZ2_bzDecompressInit(&s_, 0, 0) != BZ_OK) return Fail(Error::Msg("bzip2: cannot allocate decoder"));
        init_ = true;
        s_.next_in = in;
        s_.avail_in = in_left;
        s_.next_out = buf;
        s_.avail_out = static_cast<unsigned>(want);
      }
      if (s_.avail_in == 0 && pos_ < data_.size()) {
        const size_t take = std::min(data_.size() - pos_, kMaxFeed);
        s_.next_in = const_cast<char*>(data_.data() + pos_);
        s_.avail_in = static_cast<unsigned>(take);
        pos_ += take;
      }
      const unsigned in_before = s_.avail_in;
      const int rc = BZ2_bzDecompress(&s_);
      if (rc == BZ_STREAM_END) {
        const size_t got = want - s_.avail_out;
        BZ2_bzDecompressEnd(&s_);
        init_ = false;
        if (s_.avail_in == 0 && pos_ == data_.size()) {
          done_ = true;
          return got;
        }
        if (got > 0) return got;
        continue;
      }
      if (rc == BZ_DATA_ERROR_MAGIC) return Fail(Error::Msg("bzip2: bad magic value"));
      if (rc == BZ_DATA_ERROR) return Fail(Error::Msg("bzip2: data corrupt"));
      if (rc == BZ_MEM_ERROR) return Fail(Error::Msg("bzip2: out of memory"));
      if (rc != BZ_OK) return Fail(Error::Msg("bzip2: decoder error " + std::to_string(rc)));
      // Nothing consumed, nothing produced, no input left: the stream was cut.
      if (s_.avail_out == want && s_.avail_in == in_before && s_.avail_in == 0 && pos_ == data_.size()) {
        return Fail(UnexpectedEOF());
      }
    }
    return want - s_.avail_out;
  }

 private:
  Error Fail(Error e) {
    err_ = e;
    return e;
  }

  std::string_view data_;
  size_t pos_ = 0;
  bz_stream s_{};
  bool init_ = false;
  bool done_ = false;
  Error err_;
};

class ZstdReader : public ByteReader {
 public:
  ZstdReader(std::string_view data, ZSTD_DStream* ds) : in_{data.data(), data.size(), 0}, ds_(ds) {}
  ~ZstdReader() override { ZSTD_freeDStream(ds_); }

  Result<size_t> Read(char* buf, size_t n) override {
    if (!err_.ok()) return err_;
    if (n == 0) return size_t{0};
    ZSTD_outBuffer out{buf, n, 0};
    while (out.pos == 0) {
      if (in_.pos == in_.size && !frame_open_) return size_t{0};
      const size_t in_before = in_.pos;
      const size_t rc = ZSTD_decompressStream(ds_, &out, &in_);
      if (ZSTD_isError(rc)) return Fail(Error::Msg(std::string("zstd: ") + ZSTD_getErrorName(rc)));
      // 0 means a frame ended with everything flushed.
      frame_open_ = rc != 0;
      if (frame_open_ && out.pos == 0 && in_.pos == in_before && in_.pos == in_.size) {
        return Fail(UnexpectedEOF());
      }
    }
    return out.pos;
  }

 private:
  Error Fail(Error e) {
    err_ = e;
    return e;
  }

  ZSTD_inBuffer in_;
  ZSTD_DStream* ds_;
  // The data holds at least a frame magic, so a frame is owed from the start.
  bool frame_open_ = true;
  Error err_;
};

class PlainReader : public ByteReader {
 public:
  explicit PlainReader(std::string_view data) : data_(data) {}
  Result<size_t> Read(char* buf, size_t n) override {
    const size_t take = std::min(n, data_.size() - pos_);
    std::memcpy(buf, data_.data() + pos_, take);
    pos_ += take;
    return take;
  }

 private:
  std::string_view data_;
  size_t pos_ = 0;
};

}  // namespace

Error ReadFull(ByteReader& r, char* buf, size_t n, bool* clean_end) {
  if (clean_end) *clean_end = false;
  size_t got = 0;
  while (got < n) {
    auto k = r.Read(buf + got, n - got);
    if (!k.ok()) return k.error();
    if (*k == 0) {
      if (got == 0 && clean_end) {
        *clean_end = true;
        return {};
      }
      return UnexpectedEOF();
    }
    got += *k;
  }
  return {};
}

Error Skip(ByteReader& r, uint64_t n) {
  char buf[4096];
  while (n > 0) {
    const size_t take = static_cast<size_t>(std::min<uint64_t>(n, sizeof buf));
    ZOL_TRY(ReadFull(r, buf, take));
    n -= take;
  }
  return {};
}

Codec SniffCodec(std::string_view data) {
  using namespace std::string_view_literals;
  if (HasMagic(data, "\x1f\x8b"sv)) return Codec::kGzip;
  if (HasMagic(data, "\xfd\x37\x7a\x58\x5a\x00"sv)) return Codec::kXz;
  if (HasMagic(data, "\x42\x5a\x68"sv)) return Codec::kBzip2;
  if (HasMagic(data, "\x28\xb5\x2f\xfd"sv)) return Codec::kZstd;
  return Codec::kNone;
}

Result<std::unique_ptr<ByteReader>> NewGzipReader(std::string_view data) {
  auto r = std::make_unique<GzipReader>(data);
  ZOL_TRY(r->Init());
  return std::unique_ptr<ByteReader>(std::move(r));
}

Result<std::unique_ptr<ByteReader>> NewXzReader(std::string_view data) {
  auto r = std::make_unique<XzReader>(data);
  ZOL_TRY(r->Init());
  return std::unique_ptr<ByteReader>(std::move(r));
}

std::unique_ptr<ByteReader> NewBzip2Reader(std::string_view data) {
  return std::make_unique<Bzip2Reader>(data);
}

Result<std::unique_ptr<ByteReader>> NewZstdReader(std::string_view data) {
  ZSTD_DStream* ds = ZSTD_createDStream();
  if (ds == nullptr) return Error::Msg("zstd: cannot allocate decoder");
  return std::unique_ptr<ByteReader>(std::make_unique<ZstdReader>(data, ds));
}

std::unique_ptr<ByteReader> NewPlainReader(std::string_view data) {
  return std::make_unique<PlainReader>(data);
}

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
  switch (SniffCodec(data)) {
    case Codec::kGzip: {
      auto r = NewGzipReader(data);
      if (!r.ok()) return r.error().Wrap("gzip reader");
      stream = std::move(*r);
      break;
    }
    case Codec::kXz: {
      auto r = NewXzReader(data);
      if (!r.ok()) return r.error().Wrap("xz reader");
      stream = std::move(*r);
      break;
    }
    case Codec::kBzip2: stream = NewBzip2Reader(data); break;
    case Codec::kZstd: {
      auto r = NewZstdReader(data);
      if (!r.ok()) return r.error().Wrap("zstd reader");
      stream = std::move(*r);
      break;
    }
    case Codec::kNone: stream = NewPlainReader(data); break;
  }
  return TarReader::Open(std::move(stream));
}

}  // namespace builder
