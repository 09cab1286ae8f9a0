// Key files as signing and verifying read them: a private key file either
// signs so that the public key the record names verifies the signature, or
// is refused; a public key file is read without fault.
#include "fuzz/fuzz_support.h"
#include "internal/pkgfmt/checksum.h"
#include "internal/pkgfmt/keys.h"
#include "internal/pkgfmt/pem.h"
#include "internal/pkgfmt/signature.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text = fuzz::Bytes(data, size);
  fuzz::Scratch s(text, "zol-signing.key");
  auto file = pkgfmt::ReadKeyFile(s.input_path());
  if (!file.ok() || *file != text) fuzz::Fail("key file read back differently");
  const std::string manifest = "{\"id\":\"org.example.fuzz\"}";
  auto record = pkgfmt::SignManifest(s.input_path(), manifest);
  if (record.ok()) {
    auto pub = pkgfmt::Base64Decode(record->PublicKey);
    auto sig = pkgfmt::Base64Decode(record->Signature);
    if (!pub.ok() || !sig.ok()) fuzz::Fail("signature record not base64");
    if (!pkgfmt::Ed25519Verify(*pub, pkgfmt::computeBytesChecksum(manifest), *sig)) {
      fuzz::Fail("a signature its own record's key does not verify");
    }
  }
  // The same text as a trusted public key directory's entry.
  if (!util::MkdirAll(s.Path("trusted"), 0755).ok() ||
      !util::WriteFile(s.Path("trusted/zol-signing.pub"), text, 0644).ok()) {
    fuzz::Fail("trusted dir set-up");
  }
  if (auto block = pkgfmt::DecodeFirstPemBlock(text)) {
    if (!pkgfmt::isTrustedKey(s.Path("trusted"), block->bytes).ok()) fuzz::Fail("a key file does not trust its own key");
  }
  util::RemoveAll(s.Path("trusted")).IgnoreError();
  s.CheckNothingOutside();
  return 0;
}
