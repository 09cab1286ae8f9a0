// Key and signature texts: PEM blocks, base64 and the signature record.
// Base64 that decodes encodes back to the same text.
#include "fuzz/fuzz_support.h"
#include "internal/pkgfmt/pem.h"
#include "internal/pkgfmt/signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::Bytes(data, size);
  if (auto block = pkgfmt::DecodeFirstPemBlock(text)) {
    auto again = pkgfmt::DecodeFirstPemBlock(pkgfmt::EncodePemBlock(block->type, block->bytes));
    if (!again || again->bytes != block->bytes) fuzz::Fail("PEM block does not survive a round trip");
  }
  if (auto raw = pkgfmt::Base64Decode(text); raw.ok()) {
    if (pkgfmt::Base64Decode(pkgfmt::Base64Encode(*raw)).value() != *raw) fuzz::Fail("base64 round trip");
  }
  if (auto sig = pkgfmt::DecodeSignature(text); sig.ok()) {
    auto again = pkgfmt::DecodeSignature(pkgfmt::EncodeSignature(*sig));
    if (!again.ok() || pkgfmt::EncodeSignature(*again) != pkgfmt::EncodeSignature(*sig)) {
      fuzz::Fail("signature record does not survive a round trip");
    }
  }
  return 0;
}
