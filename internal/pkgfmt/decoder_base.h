// What the codec files share: the failing-stays-failed decoder base, the
// input bound of the 32-bit libraries, and the text of a stream cut short.
#pragma once

#include <climits>
#include <cstddef>

#include "internal/pkgfmt/decoder.h"
#include "internal/util/error.h"

namespace pkgfmt {

// zlib, bzip2 and liblzma count their input in 32-bit units.
inline constexpr size_t kMaxFeed = UINT_MAX;

inline util::Error UnexpectedEOF() { return util::Error::Msg("unexpected EOF"); }

// A decoder that, once failed, keeps failing with the same error.
class Decoder : public ByteReader {
 protected:
  util::Error Fail(util::Error e) {
    err_ = e;
    return e;
  }
  util::Error err_;
};

}  // namespace pkgfmt
