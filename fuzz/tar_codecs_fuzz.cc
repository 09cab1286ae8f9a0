// The tar reader over every decoder: one tree written in gzip, xz, bzip2,
// zstd and as it stands must read as the same members with the same content,
// and end the same way. A compressed input is decoded first, so packages and
// compressed archives seed it as well as plain ones.
#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <memory>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "internal/pkgfmt/decoder.h"
#include "internal/pkgfmt/tar_reader.h"
#include "internal/util/strings.h"

namespace {

constexpr size_t kMaxTree = 4 << 20;

std::string Gzip(std::string_view in) {
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, 16 + 15, 8, Z_DEFAULT_STRATEGY) != Z_OK) fuzz::Fail("deflateInit2");
  std::string out(deflateBound(&z, in.size()) + 32, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  if (deflate(&z, Z_FINISH) != Z_STREAM_END) fuzz::Fail("deflate");
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

std::string Xz(std::string_view in) {
  std::string out(lzma_stream_buffer_bound(in.size()), '\0');
  size_t pos = 0;
  if (lzma_easy_buffer_encode(0, LZMA_CHECK_CRC64, nullptr, reinterpret_cast<const uint8_t*>(in.data()), in.size(),
                              reinterpret_cast<uint8_t*>(out.data()), &pos, out.size()) != LZMA_OK) {
    fuzz::Fail("xz encode");
  }
  out.resize(pos);
  return out;
}

std::string Bzip2(std::string_view in) {
  unsigned int n = static_cast<unsigned int>(in.size() + in.size() / 100 + 600);
  std::string out(n, '\0');
  if (BZ2_bzBuffToBuffCompress(out.data(), &n, const_cast<char*>(in.data()), static_cast<unsigned int>(in.size()), 1,
                               0, 0) != BZ_OK) {
    fuzz::Fail("bzip2 encode");
  }
  out.resize(n);
  return out;
}

std::string Zstd(std::string_view in) {
  std::string out(ZSTD_compressBound(in.size()), '\0');
  size_t n = ZSTD_compress(out.data(), out.size(), in.data(), in.size(), 1);
  if (ZSTD_isError(n)) fuzz::Fail("zstd encode");
  out.resize(n);
  return out;
}

// Everything a reading shows: each member's header and content, then how it
// ended. The decoder's own error texts differ by codec, so a failure counts
// only as a failure once any member was read; a failure before the first
// member is only possible when the stream opens.
std::string Reading(std::string_view stream) {
  auto tar = pkgfmt::OpenTarInMemory(stream);
  if (!tar.ok()) return "open failed";
  std::string out;
  pkgfmt::TarMember m;
  for (int members = 0; members < 4096; ++members) {
    auto more = (*tar)->Next(&m);
    if (!more.ok()) return out + "next failed: " + more.error().message() + "\n";
    if (!*more) return out + "end\n";
    out += util::Sprintf("%d %s -> %s mode %o size %lld\n", static_cast<int>(m.kind), m.name.c_str(),
                         m.linkname.c_str(), m.mode, static_cast<long long>(m.size));
    char buf[8192];
    for (;;) {
      auto n = (*tar)->Read(buf, sizeof buf);
      if (!n.ok()) return out + "read failed: " + n.error().message() + "\n";
      if (*n == 0) break;
      out.append(buf, *n);
    }
    out += "\n";
  }
  return out + "member limit\n";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string tree(fuzz::Bytes(data, size));
  if (pkgfmt::SniffCodec(tree) != pkgfmt::Codec::kNone) {
    std::unique_ptr<pkgfmt::ByteReader> decoded;
    switch (pkgfmt::SniffCodec(tree)) {
      case pkgfmt::Codec::kGzip: if (auto r = pkgfmt::NewGzipReader(tree); r.ok()) decoded = std::move(*r); break;
      case pkgfmt::Codec::kXz: if (auto r = pkgfmt::NewXzReader(tree); r.ok()) decoded = std::move(*r); break;
      case pkgfmt::Codec::kBzip2: decoded = pkgfmt::NewBzip2Reader(tree); break;
      case pkgfmt::Codec::kZstd: if (auto r = pkgfmt::NewZstdReader(tree); r.ok()) decoded = std::move(*r); break;
      case pkgfmt::Codec::kNone: break;
    }
    if (decoded == nullptr) return 0;
    std::string plain;
    char buf[65536];
    for (;;) {
      auto n = decoded->Read(buf, sizeof buf);
      if (!n.ok()) return 0;
      if (*n == 0) break;
      plain.append(buf, *n);
      if (plain.size() > kMaxTree) return 0;
    }
    tree = std::move(plain);
    // A tree that is itself compressed reads differently as it stands.
    if (pkgfmt::SniffCodec(tree) != pkgfmt::Codec::kNone) return 0;
  }
  if (tree.empty()) return 0;  // an empty stream is an empty archive only as it stands
  const std::string want = Reading(tree);
  const struct {
    const char* name;
    std::string stream;
  } encoded[] = {{"gzip", Gzip(tree)}, {"xz", Xz(tree)}, {"bzip2", Bzip2(tree)}, {"zstd", Zstd(tree)}};
  for (const auto& e : encoded) {
    const std::string got = Reading(e.stream);
    if (got != want) {
      fuzz::Fail(std::string(e.name) + " reads another tree:\n--- plain\n" + want.substr(0, 2000) + "\n--- " + e.name +
                 "\n" + got.substr(0, 2000));
    }
  }
  return 0;
}
