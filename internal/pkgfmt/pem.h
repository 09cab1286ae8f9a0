// Standard base64 (RFC 4648 alphabet with "+" and "/", "=" filling the last
// group) and PEM blocks of raw bytes, the encodings of key files and
// signature records.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace pkgfmt {

std::string Base64Encode(std::string_view bytes);

// Strict decoding: only the standard alphabet, the length a multiple of four,
// "=" only as the one or two last characters. No white space is skipped.
util::Result<std::string> Base64Decode(std::string_view text);

struct PemBlock {
  std::string type;   // the label of the begin and end lines
  std::string bytes;  // the decoded body
};

// One block: "-----BEGIN TYPE-----\n", the base64 of `bytes` in lines of 64
// characters, "-----END TYPE-----\n"; no header lines.
std::string EncodePemBlock(std::string_view type, std::string_view bytes);

// The first well-formed block of `text`, whatever its label; text around it is
// ignored. A block is well-formed when its begin line starts a line, its end
// line starts a line and carries the same label (blanks and carriage returns
// may end both), and the lines between are base64 once blanks, tabs and line
// breaks are dropped. A malformed block is skipped and the search goes on
// after its begin line.
std::optional<PemBlock> DecodeFirstPemBlock(std::string_view text);

}  // namespace pkgfmt
