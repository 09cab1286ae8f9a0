#include "internal/pkgfmt/manifest.h"
#include "internal/pkgfmt/signature.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "internal/pkgfmt/checksum.h"
#include "internal/pkgfmt/crypto_testing.h"
#include "internal/pkgfmt/keys.h"
#include "internal/pkgfmt/pem.h"
#include "internal/util/files.h"

namespace pkgfmt {
namespace {

using testing::Shell;
using testing::Slurp;
using testing::Spit;

class Signing : public testing::ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    keys_ = Path("keys");
    FILE* devnull = std::fopen("/dev/null", "w");
    util::Error e = GenerateKeyPair(keys_, devnull);
    std::fclose(devnull);
    ASSERT_TRUE(e.ok()) << e.message();
    priv_ = DecodeFirstPemBlock(Slurp(KeyPath()))->bytes;
    pub_ = priv_.substr(32);
    pub_b64_ = Base64Encode(pub_);
  }
  std::string KeyPath() const { return keys_ + "/zol-signing.key"; }
  std::string PubPath() const { return keys_ + "/zol-signing.pub"; }
  // The public key of another seed than ours.
  std::string OtherPublicKey() const { return *Ed25519PublicFromSeed(std::string(32, '\x07')); }

  // Whether openssl accepts `sig` as a signature of `msg` under our key.
  bool OpensslVerifies(const std::string& msg, const std::string& sig) {
    Spit(Path("ossl.msg"), msg);
    Spit(Path("ossl.sig"), sig);
    Spit(Path("ossl.pub"), testing::SpkiFromPublic(pub_));
    int st = -1;
    Shell("openssl pkeyutl -verify -rawin -pubin -keyform DER -inkey '" + Path("ossl.pub") + "' -in '" +
              Path("ossl.msg") + "' -sigfile '" + Path("ossl.sig") + "' >/dev/null 2>&1",
          &st);
    return st == 0;
  }
  std::string OpensslSign(const std::string& msg) {
    Spit(Path("ossl.msg"), msg);
    Spit(Path("ossl.key"), testing::Pkcs8FromSeed(priv_.substr(0, 32)));
    int st = -1;
    std::string sig = Shell("openssl pkeyutl -sign -rawin -keyform DER -inkey '" + Path("ossl.key") + "' -in '" +
                            Path("ossl.msg") + "'", &st);
    EXPECT_EQ(st, 0);
    return sig;
  }

  std::string keys_, priv_, pub_, pub_b64_;
};

TEST_F(Signing, RecordEncodingIsIndentedInRecordOrder) {
  PackageSignature s{"ed25519", "K<>", "", "S&"};
  EXPECT_EQ(EncodeSignature(s),
            "{\n  \"algorithm\": \"ed25519\",\n  \"public_key\": \"K\\u003c\\u003e\",\n  \"digest\": \"\",\n"
            "  \"signature\": \"S\\u0026\"\n}");
}

TEST_F(Signing, RecordDecodingFollowsTheCommonRules) {
  auto r = DecodeSignature(R"({"ALGORITHM":"ed25519","Public_Key":"pk","extra":[1,{}],"signature":null})");
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->Algorithm, "ed25519");
  EXPECT_EQ(r->PublicKey, "pk");
  EXPECT_EQ(r->Digest, "");
  EXPECT_EQ(r->Signature, "");
  EXPECT_FALSE(DecodeSignature(R"({"algorithm":1})").ok());
  EXPECT_FALSE(DecodeSignature("[]").ok());
  EXPECT_FALSE(DecodeSignature("{").ok());
}

TEST_F(Signing, DetachedSignatureFileIsExactAndOpensslVerifiesIt) {
  std::string pkg = Path("app.zol");
  Spit(pkg, "some package bytes");
  ASSERT_TRUE(SignPackage(pkg, KeyPath()).ok());
  std::string digest = Shell("sha256sum '" + pkg + "'").substr(0, 64);
  std::string text = Slurp(pkg + ".sig");
  auto record = DecodeSignature(text);
  ASSERT_TRUE(record.ok());
  EXPECT_EQ(text, "{\n  \"algorithm\": \"ed25519\",\n  \"public_key\": \"" + pub_b64_ + "\",\n  \"digest\": \"" +
                      digest + "\",\n  \"signature\": \"" + record->Signature + "\"\n}\n");
  struct stat st {};
  ASSERT_EQ(::stat((pkg + ".sig").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_TRUE(OpensslVerifies(digest, *Base64Decode(record->Signature)));

  EXPECT_TRUE(VerifyPackageSig(pkg, pub_b64_).ok());
}

TEST_F(Signing, DetachedSignatureMadeByOpensslVerifies) {
  std::string pkg = Path("app.zol");
  Spit(pkg, "other bytes");
  std::string digest = computeBytesChecksum(Slurp(pkg));
  PackageSignature s{"ed25519", pub_b64_, digest, Base64Encode(OpensslSign(digest))};
  Spit(pkg + ".sig", EncodeSignature(s) + "\n");
  util::Error e = VerifyPackageSig(pkg, pub_b64_);
  EXPECT_TRUE(e.ok()) << e.message();
}

TEST_F(Signing, SignPackageKeyFileCases) {
  std::string pkg = Path("app.zol");
  Spit(pkg, "bytes");
  std::string pub_file = Slurp(PubPath());
  std::string priv_file = Slurp(KeyPath());
  struct Case {
    std::string name, key_text, error;  // error empty: signs
  } cases[] = {
      {"first of two blocks", priv_file + pub_file, ""},
      {"any label", EncodePemBlock("SOMETHING", priv_), ""},
      {"text around", "# my key\n" + priv_file + "trailer\n", ""},
      {"public key given", pub_file, "invalid private key size: 32 (expected 64)"},
      {"public key first", pub_file + priv_file, "invalid private key size: 32 (expected 64)"},
      {"no block", "not a key\n", "invalid PEM in " + Path("k")},
      // Signed with the seed, named by the stored key: nothing it signs
      // would ever verify.
      {"public half of another key", EncodePemBlock("PRIVATE KEY", priv_.substr(0, 32) + OtherPublicKey()),
       "private key " + Path("k") + ": its public key does not belong to its seed"},
  };
  for (const Case& c : cases) {
    ::unlink((pkg + ".sig").c_str());
    Spit(Path("k"), c.key_text);
    util::Error e = SignPackage(pkg, Path("k"));
    EXPECT_EQ(e.message(), c.error) << c.name;
    // Nothing is written unless the signature was made.
    EXPECT_EQ(util::Exists(pkg + ".sig"), c.error.empty()) << c.name;
  }
  EXPECT_EQ(SignPackage(pkg, Path("nokey")).message(),
            "read private key " + Path("nokey") + ": open " + Path("nokey") + ": no such file or directory");
  EXPECT_EQ(SignPackage(Path("nopkg.zol"), KeyPath()).message(),
            "compute digest: open: open " + Path("nopkg.zol") + ": no such file or directory");
  EXPECT_FALSE(util::Exists(Path("nopkg.zol.sig")));
  ASSERT_EQ(::mkdir(Path("dir.zol").c_str(), 0755), 0);
  EXPECT_EQ(SignPackage(Path("dir.zol"), KeyPath()).message(),
            "compute digest: hash: read " + Path("dir.zol") + ": is a directory");
}

TEST_F(Signing, VerifyPackageSigFailures) {
  std::string pkg = Path("app.zol");
  Spit(pkg, "package content");
  ASSERT_TRUE(SignPackage(pkg, KeyPath()).ok());
  const PackageSignature good = *DecodeSignature(Slurp(pkg + ".sig"));
  const std::string digest = good.Digest;
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  const std::string key64 = Base64Encode(std::string(64, 'k'));

  struct Case {
    std::string name;
    std::function<void(PackageSignature&)> edit;
    const char* env;  // ZOL_PUBLIC_KEY; nullptr: unset, which reads as empty
    std::string error;
  } cases[] = {
      {"good", [](PackageSignature&) {}, "ours", ""},
      {"built-in anchor", [](PackageSignature&) {}, nullptr,
       "package signed with untrusted key (got " + pub_b64_ + ", expected " + kBuiltinPublicKey + ")"},
      {"empty env is the built-in anchor", [](PackageSignature&) {}, "",
       "package signed with untrusted key (got " + pub_b64_ + ", expected " + kBuiltinPublicKey + ")"},
      {"algorithm before keys", [](PackageSignature& s) { s.Algorithm = "sha256"; s.PublicKey = "!"; }, "!",
       "unsupported signature algorithm: sha256"},
      {"algorithm is exact", [](PackageSignature& s) { s.Algorithm = "Ed25519"; }, "ours",
       "unsupported signature algorithm: Ed25519"},
      {"anchor not base64", [](PackageSignature&) {}, "a b", "decode trusted public key: "},
      // std::string(...) because the literal form trips a false -Wrestrict of GCC 12 at -O3.
      {"record key not base64", [](PackageSignature& s) { s.PublicKey = std::string("?"); }, "ours",
       "decode signature public key: "},
      {"upper-case digest", [&](PackageSignature& s) { s.Digest = upper; }, "ours",
       "ed25519 signature invalid: package may have been tampered"},
      {"other digest", [](PackageSignature& s) { s.Digest = std::string(64, '0'); }, "ours",
       "package file digest mismatch: sig=" + std::string(64, '0') + " actual=" + digest},
      {"signature not base64", [](PackageSignature& s) { s.Signature = "**"; }, "ours", "decode signature bytes: "},
      {"short signature", [](PackageSignature& s) { s.Signature = Base64Encode(std::string(63, 's')); }, "ours",
       "ed25519 signature invalid: package may have been tampered"},
      {"64-byte anchor", [&](PackageSignature& s) { s.PublicKey = key64; }, key64.c_str(),
       "invalid public key size: 64"},
  };
  for (const Case& c : cases) {
    PackageSignature s = good;
    c.edit(s);
    Spit(pkg + ".sig", EncodeSignature(s) + "\n");
    const std::string anchor = c.env == nullptr ? "" : std::string(c.env) == "ours" ? pub_b64_ : c.env;
    std::string msg = VerifyPackageSig(pkg, anchor).message();
    if (c.error.empty() || c.error.back() != ' ') {
      EXPECT_EQ(msg, c.error) << c.name;
    } else {
      EXPECT_EQ(msg.rfind(c.error, 0), 0u) << c.name << ": " << msg;
    }
  }

  Spit(pkg + ".sig", EncodeSignature(good) + "\n");
  Spit(pkg, "package content!");
  EXPECT_EQ(VerifyPackageSig(pkg, pub_b64_).message(),
            "package file digest mismatch: sig=" + digest + " actual=" + computeBytesChecksum(Slurp(pkg)));
  Spit(pkg + ".sig", "{\"algorithm\": ");
  EXPECT_EQ(VerifyPackageSig(pkg, pub_b64_).message().rfind("parse " + pkg + ".sig: ", 0), 0u);
  ::unlink((pkg + ".sig").c_str());
  EXPECT_EQ(VerifyPackageSig(pkg, pub_b64_).message(), "open " + pkg + ".sig: no such file or directory");
}

class Embedded : public Signing {
 protected:
  void SetUp() override {
    Signing::SetUp();
    tree_ = Path("tree");
    ASSERT_EQ(::mkdir(tree_.c_str(), 0755), 0);
    manifest_ = "{\n  \"id\": \"app\"\n}";
    Spit(tree_ + "/manifest.json", manifest_);
  }
  void SignTree() {
    auto sig = SignManifest(KeyPath(), manifest_);
    ASSERT_TRUE(sig.ok()) << sig.error().message();
    Spit(tree_ + "/signature.json", EncodeSignature(*sig));
  }
  std::string tree_, manifest_;
};

TEST_F(Embedded, SignManifestSignsTheManifestDigestText) {
  auto sig = SignManifest(KeyPath(), manifest_);
  ASSERT_TRUE(sig.ok());
  EXPECT_EQ(sig->Algorithm, "ed25519");
  EXPECT_EQ(sig->PublicKey, pub_b64_);
  EXPECT_EQ(sig->Digest, "");
  EXPECT_TRUE(OpensslVerifies(computeBytesChecksum(manifest_), *Base64Decode(sig->Signature)));
}

TEST_F(Embedded, SignManifestKeyErrors) {
  Spit(Path("junk"), "junk");
  EXPECT_EQ(SignManifest(Path("junk"), manifest_).error().message(), "invalid PEM in " + Path("junk"));
  EXPECT_EQ(SignManifest(PubPath(), manifest_).error().message(), "invalid private key size: 32");
  EXPECT_EQ(SignManifest("", manifest_).error().message(), "read private key: open : no such file or directory");
  Spit(Path("mismatched"), EncodePemBlock("PRIVATE KEY", priv_.substr(0, 32) + OtherPublicKey()));
  EXPECT_EQ(SignManifest(Path("mismatched"), manifest_).error().message(),
            "private key " + Path("mismatched") + ": its public key does not belong to its seed");
}

TEST_F(Embedded, OpensslSignatureVerifies) {
  PackageSignature s{"ed25519", pub_b64_, "", Base64Encode(OpensslSign(computeBytesChecksum(manifest_)))};
  Spit(tree_ + "/signature.json", EncodeSignature(s));
  util::Error e = VerifyPackageSignature(tree_, "");
  EXPECT_TRUE(e.ok()) << e.message();
}

TEST_F(Embedded, VerifyCases) {
  SignTree();
  const PackageSignature good = *DecodeSignature(Slurp(tree_ + "/signature.json"));
  const std::string missing_dir = Path("no-such-dir");
  struct Case {
    std::string name;
    std::function<void(PackageSignature&, std::string& manifest)> edit;
    std::string trusted;
    std::string error;
  } cases[] = {
      {"good", [](PackageSignature&, std::string&) {}, "", ""},
      {"good, trusted", [](PackageSignature&, std::string&) {}, keys_, ""},
      {"digest field is not read", [](PackageSignature& s, std::string&) { s.Digest = "whatever"; }, "", ""},
      {"blank added to manifest", [](PackageSignature&, std::string& m) { m += " "; }, "",
       "signature verification failed: package may be tampered"},
      {"base layer placeholder", [](PackageSignature& s, std::string&) { s.Algorithm = "sha256"; }, "",
       "unsupported signature algorithm: sha256"},
      {"31-byte key before trust",
       [](PackageSignature& s, std::string&) { s.PublicKey = Base64Encode(std::string(31, 'a')); }, missing_dir, "invalid public key size: 31"},
      {"key not base64", [](PackageSignature& s, std::string&) { s.PublicKey = "%%%%"; }, "", "decode public key: "},
      {"missing trusted dir", [](PackageSignature&, std::string&) {}, missing_dir,
       "untrusted signing key: read trusted key dir " + missing_dir + ": open " + missing_dir +
           ": no such file or directory"},
      {"signature not base64", [](PackageSignature& s, std::string&) { s.Signature = "===="; }, "",
       "decode signature: "},
      {"short signature", [](PackageSignature& s, std::string&) { s.Signature = Base64Encode("abc"); }, "",
       "signature verification failed: package may be tampered"},
  };
  for (const Case& c : cases) {
    PackageSignature s = good;
    std::string m = manifest_;
    c.edit(s, m);
    Spit(tree_ + "/manifest.json", m);
    Spit(tree_ + "/signature.json", EncodeSignature(s));
    std::string msg = VerifyPackageSignature(tree_, c.trusted).message();
    if (c.error.empty() || c.error.back() != ' ') {
      EXPECT_EQ(msg, c.error) << c.name;
    } else {
      EXPECT_EQ(msg.rfind(c.error, 0), 0u) << c.name << ": " << msg;
    }
  }
}

TEST_F(Embedded, UnsignedTreePassesButNeedsAManifest) {
  EXPECT_TRUE(VerifyPackageSignature(tree_, "").ok());
  EXPECT_TRUE(VerifyPackageSignature(tree_, Path("no-such-dir")).ok());
  ::unlink((tree_ + "/manifest.json").c_str());
  EXPECT_EQ(VerifyPackageSignature(tree_, "").message(),
            "read manifest: open " + tree_ + "/manifest.json: no such file or directory");
  SignTree();
  EXPECT_EQ(VerifyPackageSignature(tree_, "").message(),
            "read manifest: open " + tree_ + "/manifest.json: no such file or directory");
}

// Files larger than any real one are refused by their bound, naming the
// file, before they are held in memory; an unsigned package's manifest is
// never read at all.
TEST_F(Embedded, OversizedFilesAreRefusedByTheirBound) {
  Spit(tree_ + "/manifest.json", std::string(kMaxManifestBytes + 1, ' '));
  EXPECT_TRUE(VerifyPackageSignature(tree_, "").ok());
  Spit(tree_ + "/signature.json", "{}");
  EXPECT_EQ(VerifyPackageSignature(tree_, "").message(),
            "read manifest: read " + tree_ + "/manifest.json: file larger than 1048576 bytes");
  Spit(tree_ + "/manifest.json", manifest_);
  Spit(tree_ + "/signature.json", "{\"x\": \"" + std::string(kMaxSignatureBytes, 'a') + "\"}");
  EXPECT_EQ(VerifyPackageSignature(tree_, "").message(),
            "read signature: read " + tree_ + "/signature.json: file larger than 65536 bytes");
}

TEST_F(Embedded, TreeFilesAreNotReadThroughEscapingLinks) {
  // A signed copy outside the tree: following either link would verify.
  std::string outside = Path("outside");
  ASSERT_EQ(::mkdir(outside.c_str(), 0755), 0);
  Spit(outside + "/manifest.json", manifest_);
  Spit(outside + "/signature.json", EncodeSignature(*SignManifest(KeyPath(), manifest_)));

  ASSERT_EQ(::symlink("../outside/signature.json", (tree_ + "/signature.json").c_str()), 0);
  std::string msg = VerifyPackageSignature(tree_, "").message();
  EXPECT_EQ(msg.rfind("read signature: ", 0), 0u) << msg;

  ::unlink((tree_ + "/signature.json").c_str());
  ::unlink((tree_ + "/manifest.json").c_str());
  ASSERT_EQ(::symlink((outside + "/manifest.json").c_str(), (tree_ + "/manifest.json").c_str()), 0);
  msg = VerifyPackageSignature(tree_, "").message();
  EXPECT_EQ(msg.rfind("read manifest: ", 0), 0u) << msg;

  // A link that stays inside is followed.
  ::unlink((tree_ + "/manifest.json").c_str());
  Spit(tree_ + "/real.json", manifest_);
  ASSERT_EQ(::symlink("real.json", (tree_ + "/manifest.json").c_str()), 0);
  SignTree();
  EXPECT_TRUE(VerifyPackageSignature(tree_, "").ok());
}

TEST_F(Embedded, TrustedKeyDirectoryCases) {
  SignTree();
  std::string pub_file = Slurp(PubPath());
  std::string other_pub = EncodePemBlock("ED25519 PUBLIC KEY", std::string(32, 'o'));
  struct Case {
    std::string name;
    std::vector<std::pair<std::string, std::string>> files;  // name, content
    bool trusted;
  } cases[] = {
      {"only the private key", {{"zol-signing.key", Slurp(KeyPath())}}, false},
      {"public key among others", {{"a.txt", "hello"}, {"b.pub", other_pub}, {"zz-any-name", pub_file}}, true},
      {"other label, same bytes", {{"k", EncodePemBlock("CERTIFICATE", pub_)}}, true},
      {"match only in second block", {{"k", other_pub + pub_file}}, false},
      {"empty directory", {}, false},
  };
  for (const Case& c : cases) {
    std::string dir = Path("trusted-" + std::to_string(&c - cases));
    ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
    for (const auto& [name, content] : c.files) Spit(dir + "/" + name, content);
    util::Error e = VerifyPackageSignature(tree_, dir);
    if (c.trusted) {
      EXPECT_TRUE(e.ok()) << c.name << ": " << e.message();
    } else {
      EXPECT_EQ(e.message(), "untrusted signing key: no matching trusted key found in " + dir) << c.name;
    }
  }
}

TEST_F(Embedded, TrustedDirSkipsWhatCannotBeRead) {
  SignTree();
  std::string dir = Path("trusted");
  ASSERT_EQ(::mkdir(dir.c_str(), 0755), 0);
  // Sorted before the key: a subdirectory, a link to one, a dangling link and
  // a FIFO nobody writes to (opening it for reading must not block).
  ASSERT_EQ(::mkdir((dir + "/a-dir").c_str(), 0755), 0);
  ASSERT_EQ(::symlink("a-dir", (dir + "/b-dirlink").c_str()), 0);
  ASSERT_EQ(::symlink("nowhere", (dir + "/c-dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((dir + "/d-fifo").c_str(), 0644), 0);
  Spit(Path("real.pub"), Slurp(PubPath()));
  ASSERT_EQ(::symlink(Path("real.pub").c_str(), (dir + "/e-link.pub").c_str()), 0);
  EXPECT_TRUE(isTrustedKey(dir, pub_).ok());
  ::unlink((dir + "/e-link.pub").c_str());
  EXPECT_EQ(isTrustedKey(dir, pub_).message(), "no matching trusted key found in " + dir);
  EXPECT_EQ(isTrustedKey(PubPath(), pub_).message().rfind("read trusted key dir " + PubPath() + ": ", 0), 0u);
}

}  // namespace
}  // namespace pkgfmt
