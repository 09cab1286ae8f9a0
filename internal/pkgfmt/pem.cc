#include "internal/pkgfmt/pem.h"

#include <array>

namespace pkgfmt {
namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::string_view kBegin = "-----BEGIN ";
constexpr std::string_view kEnd = "-----END ";
constexpr std::string_view kDashes = "-----";

constexpr std::array<int8_t, 256> MakeDecodeTable() {
  std::array<int8_t, 256> t{};
  for (auto& v : t) v = -1;
  for (int i = 0; i < 64; ++i) t[static_cast<unsigned char>(kAlphabet[i])] = static_cast<int8_t>(i);
  return t;
}
constexpr std::array<int8_t, 256> kDecode = MakeDecodeTable();

std::string_view TrimRight(std::string_view s) {
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

// The line starting at `pos` without its line feed, and where the next starts.
std::string_view LineAt(std::string_view text, size_t pos, size_t* next) {
  size_t nl = text.find('\n', pos);
  if (nl == std::string_view::npos) {
    *next = text.size();
    return text.substr(pos);
  }
  *next = nl + 1;
  return text.substr(pos, nl - pos);
}

// Tries the block whose begin line starts at `pos`.
std::optional<PemBlock> BlockAt(std::string_view text, size_t pos) {
  size_t next = 0;
  std::string_view begin = TrimRight(LineAt(text, pos, &next));
  // The blank ending "-----BEGIN " may be the one trimmed away.
  if (begin.size() < kBegin.size()) return std::nullopt;
  begin.remove_prefix(kBegin.size());
  if (begin.size() < kDashes.size() || begin.substr(begin.size() - kDashes.size()) != kDashes) return std::nullopt;
  std::string type(begin.substr(0, begin.size() - kDashes.size()));
  std::string end_line = std::string(kEnd) + type + std::string(kDashes);
  std::string body;
  while (next < text.size()) {
    std::string_view line = LineAt(text, next, &next);
    if (TrimRight(line) == end_line) {
      auto bytes = Base64Decode(body);
      if (!bytes.ok()) return std::nullopt;
      return PemBlock{std::move(type), std::move(*bytes)};
    }
    for (char c : line) {
      if (c != ' ' && c != '\t' && c != '\r') body += c;
    }
  }
  return std::nullopt;
}

}  // namespace

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  auto at = [&](size_t k) { return static_cast<unsigned char>(bytes[k]); };
  for (; i + 3 <= bytes.size(); i += 3) {
    uint32_t v = (at(i) << 16) | (at(i + 1) << 8) | at(i + 2);
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t v = at(i) << 16;
    if (rest == 2) v |= at(i + 1) << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += rest == 2 ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

util::Result<std::string> Base64Decode(std::string_view text) {
  if (text.size() % 4 != 0) {
    return util::Error::Msg("illegal base64 data: length " + std::to_string(text.size()) + " is not a multiple of 4");
  }
  size_t pad = 0;
  if (!text.empty() && text.back() == '=') pad = text.size() >= 2 && text[text.size() - 2] == '=' ? 2 : 1;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    uint32_t v = 0;
    for (size_t k = 0; k < 4; ++k) {
      size_t at = i + k;
      int8_t d = kDecode[static_cast<unsigned char>(text[at])];
      if (last && k >= 4 - pad) d = 0;  // the filling "="
      if (d < 0) return util::Error::Msg("illegal base64 data at input byte " + std::to_string(at));
      v = (v << 6) | static_cast<uint32_t>(d);
    }
    out += static_cast<char>(v >> 16);
    if (!last || pad < 2) out += static_cast<char>((v >> 8) & 0xff);
    if (!last || pad < 1) out += static_cast<char>(v & 0xff);
  }
  return out;
}

std::string EncodePemBlock(std::string_view type, std::string_view bytes) {
  std::string b64 = Base64Encode(bytes);
  std::string out = std::string(kBegin) + std::string(type) + std::string(kDashes) + "\n";
  for (size_t i = 0; i < b64.size(); i += 64) {
    out += b64.substr(i, 64);
    out += '\n';
  }
  out += std::string(kEnd) + std::string(type) + std::string(kDashes) + "\n";
  return out;
}

std::optional<PemBlock> DecodeFirstPemBlock(std::string_view text) {
  size_t pos = 0;
  while (pos < text.size()) {
    if (text.compare(pos, kBegin.size(), kBegin) == 0) {
      if (auto block = BlockAt(text, pos)) return block;
    }
    size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) break;
    pos = nl + 1;
  }
  return std::nullopt;
}

}  // namespace pkgfmt
