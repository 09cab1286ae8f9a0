// A stream decoded on a thread of its own, ahead of its reader, so that
// inflating a package overlaps with writing out what was already inflated.
#pragma once

#include <cstddef>
#include <memory>

#include "internal/pkgfmt/decoder.h"

namespace pkgfmt {

// Reads `source` on a second thread into at most `depth` chunks of `chunk`
// bytes ahead of the caller. The bytes and the failure that ends them are
// exactly the source's, in order: an error is returned once every byte read
// before it has been. Destroying the reader stops the thread (after the
// source's read in progress, if any) and destroys the source.
std::unique_ptr<ByteReader> NewReadAheadReader(std::unique_ptr<ByteReader> source, size_t chunk = 256 << 10,
                                               size_t depth = 4);

}  // namespace pkgfmt
