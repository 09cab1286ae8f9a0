#include "internal/pkgfmt/keys.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal/pkgfmt/crypto_testing.h"
#include "internal/pkgfmt/pem.h"
#include "internal/util/files.h"

namespace pkgfmt {
namespace {

using testing::HexOf;
using testing::Shell;
using testing::Slurp;
using testing::Spit;

class Keys : public testing::ScratchDir {
 protected:
  // Runs GenerateKeyPair and returns what it printed.
  std::string Generate(const std::string& dir, util::Error* err) {
    char* buf = nullptr;
    size_t len = 0;
    FILE* out = open_memstream(&buf, &len);
    *err = GenerateKeyPair(dir, out);
    std::fclose(out);
    std::string text(buf, len);
    std::free(buf);
    return text;
  }
  static mode_t ModeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::lstat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
  }
};

TEST_F(Keys, GenerateWritesBothFilesAndReportsThem) {
  std::string dir = Path("a/b/keys");
  util::Error err;
  std::string out = Generate(dir, &err);
  ASSERT_TRUE(err.ok()) << err.message();

  EXPECT_EQ(ModeOf(dir), 0700u);
  EXPECT_EQ(ModeOf(Path("a")), 0700u);
  EXPECT_EQ(ModeOf(dir + "/zol-signing.key"), 0600u);
  EXPECT_EQ(ModeOf(dir + "/zol-signing.pub"), 0644u);

  std::string priv_text = Slurp(dir + "/zol-signing.key");
  std::string pub_text = Slurp(dir + "/zol-signing.pub");
  auto priv = DecodeFirstPemBlock(priv_text);
  auto pub = DecodeFirstPemBlock(pub_text);
  ASSERT_TRUE(priv && pub);
  ASSERT_EQ(priv->bytes.size(), 64u);
  ASSERT_EQ(pub->bytes.size(), 32u);
  // The files are exactly one block each, nothing else.
  EXPECT_EQ(priv_text, EncodePemBlock("ED25519 PRIVATE KEY", priv->bytes));
  EXPECT_EQ(pub_text, EncodePemBlock("ED25519 PUBLIC KEY", pub->bytes));
  EXPECT_EQ(priv->bytes.substr(32), pub->bytes);

  EXPECT_EQ(out, "Key pair generated:\n  Private: " + dir + "/zol-signing.key\n  Public:  " + dir +
                     "/zol-signing.pub\n  Public key (base64): " + Base64Encode(pub->bytes) +
                     "\n\nIMPORTANT: Keep the private key offline. The public key should be embedded in the binary.\n");
  // Only the two key files; no temporary file is left behind.
  EXPECT_EQ(Shell("ls -A '" + dir + "'"), "zol-signing.key\nzol-signing.pub\n");
}

TEST_F(Keys, SeedGivesTheStoredPublicKeyInOpenssl) {
  util::Error err;
  Generate(Dir(), &err);
  ASSERT_TRUE(err.ok());
  auto priv = DecodeFirstPemBlock(Slurp(Path("zol-signing.key")));
  ASSERT_TRUE(priv);
  Spit(Path("k.der"), testing::Pkcs8FromSeed(priv->bytes.substr(0, 32)));
  int st = -1;
  std::string spki = Shell("openssl pkey -inform DER -in '" + Path("k.der") + "' -pubout -outform DER", &st);
  ASSERT_EQ(st, 0);
  ASSERT_EQ(spki.size(), 44u);
  EXPECT_EQ(HexOf(spki.substr(12)), HexOf(priv->bytes.substr(32)));
}

TEST_F(Keys, RegenerateReplacesFilesWithFreshModesAndKeys) {
  util::Error err;
  Generate(Dir(), &err);
  ASSERT_TRUE(err.ok());
  std::string first_pub = Slurp(Path("zol-signing.pub"));
  // A private key left readable by everyone, and a public key name that is a
  // link to a file elsewhere: a new run must not reuse either.
  ASSERT_EQ(::chmod(Path("zol-signing.key").c_str(), 0644), 0);
  Spit(Path("elsewhere"), "keep");
  ASSERT_EQ(::unlink(Path("zol-signing.pub").c_str()), 0);
  ASSERT_EQ(::symlink("elsewhere", Path("zol-signing.pub").c_str()), 0);
  ASSERT_EQ(::chmod(Dir().c_str(), 0750), 0);

  Generate(Dir(), &err);
  ASSERT_TRUE(err.ok()) << err.message();
  EXPECT_EQ(ModeOf(Path("zol-signing.key")), 0600u);
  EXPECT_EQ(ModeOf(Path("zol-signing.pub")), 0644u);  // a regular file again
  EXPECT_EQ(ModeOf(Dir()), 0750u);                    // an existing directory keeps its mode
  EXPECT_EQ(Slurp(Path("elsewhere")), "keep");
  EXPECT_NE(Slurp(Path("zol-signing.pub")), first_pub);
}

TEST_F(Keys, GenerateFailures) {
  Spit(Path("file"), "");
  util::Error err;
  Generate(Path("file/keys"), &err);
  EXPECT_EQ(err.message(), "create key dir: mkdir " + Path("file") + ": not a directory");

  // A directory at the private key's name cannot be replaced by a file.
  ASSERT_EQ(::mkdir(Path("zol-signing.key").c_str(), 0755), 0);
  Generate(Dir(), &err);
  EXPECT_EQ(err.message().rfind("write private key: rename " + Path("zol-signing.key") + ": ", 0), 0u)
      << err.message();
  EXPECT_FALSE(util::Exists(Path("zol-signing.pub")));
}

TEST_F(Keys, SignAndVerifyAgreeWithOpenssl) {
  util::Error err;
  Generate(Dir(), &err);
  ASSERT_TRUE(err.ok());
  std::string priv = DecodeFirstPemBlock(Slurp(Path("zol-signing.key")))->bytes;
  std::string pub = priv.substr(32);
  const std::string msg = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
  Spit(Path("msg"), msg);
  Spit(Path("k.der"), testing::Pkcs8FromSeed(priv.substr(0, 32)));
  Spit(Path("p.der"), testing::SpkiFromPublic(pub));

  // Ours, checked by openssl.
  auto sig = Ed25519Sign(priv, msg);
  ASSERT_TRUE(sig.ok()) << sig.error().message();
  Spit(Path("ours.sig"), *sig);
  int st = -1;
  Shell("openssl pkeyutl -verify -rawin -pubin -keyform DER -inkey '" + Path("p.der") + "' -in '" + Path("msg") +
            "' -sigfile '" + Path("ours.sig") + "' >/dev/null",
        &st);
  EXPECT_EQ(st, 0);

  // Openssl's, checked by us.
  std::string theirs = Shell("openssl pkeyutl -sign -rawin -keyform DER -inkey '" + Path("k.der") + "' -in '" +
                             Path("msg") + "'", &st);
  ASSERT_EQ(st, 0);
  EXPECT_TRUE(Ed25519Verify(pub, msg, theirs));

  std::string flipped = theirs;
  flipped[10] ^= 1;
  EXPECT_FALSE(Ed25519Verify(pub, msg, flipped));
  EXPECT_FALSE(Ed25519Verify(pub, msg + " ", theirs));
  EXPECT_FALSE(Ed25519Verify(pub, msg, theirs.substr(0, 63)));
  EXPECT_FALSE(Ed25519Verify(pub.substr(0, 31), msg, theirs));
}

TEST(TrustAnchor, EnvironmentOverridesBuiltInUnlessEmpty) {
  // The variable's text as the front end read it: unset reads as empty.
  EXPECT_EQ(TrustedPublicKeyText(""), kBuiltinPublicKey);
  EXPECT_EQ(TrustedPublicKeyText("abcd"), "abcd");
}

}  // namespace
}  // namespace pkgfmt
