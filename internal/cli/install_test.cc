#include "internal/cli/install.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "internal/pkgfmt/checksum.h"
#include "internal/pkgfmt/keys.h"
#include "internal/pkgfmt/signature.h"
#include "internal/testing/env.h"
#include "internal/testing/files.h"
#include "internal/util/tempdir.h"

namespace cli {
namespace {

using testutil::ScopedEnv;
using testutil::Slurp;
using testutil::Spit;

// The command's settings are read once by the dispatcher: the integrity
// check follows the values it is handed, whatever the environment says by
// then, so each case sets the environment to the opposite.
TEST(IntegrityCheck, FollowsTheSettingsItIsGivenNotTheEnvironment) {
  util::Result<util::TempDir> tmp = util::TempDir::Make("zol-integrity-test-");
  ASSERT_TRUE(tmp.ok()) << tmp.error().message();
  const std::string keys = tmp->path() + "/keys";
  std::FILE* quiet = std::fopen("/dev/null", "w");
  ASSERT_NE(quiet, nullptr);
  ASSERT_TRUE(pkgfmt::GenerateKeyPair(keys, quiet).ok());
  std::fclose(quiet);

  const std::string pkg = tmp->path() + "/app.zol";
  Spit(pkg, "package bytes");
  // The public key in the form the trust anchor takes, from a signature.
  ASSERT_TRUE(pkgfmt::SignPackage(pkg, keys + "/zol-signing.key").ok());
  util::Result<pkgfmt::PackageSignature> sig = pkgfmt::DecodeSignature(Slurp(pkg + ".sig"));
  ASSERT_TRUE(sig.ok());
  const std::string ours = sig->PublicKey;

  struct Case {
    std::string name;
    bool signed_package;
    std::string require_checksum, public_key;  // as handed over
    const char* env_require, *env_key;        // the environment by then
    std::string err;                          // "" for success
  } cases[] = {
      {"checksum required by the settings", false, "1", "", nullptr, nullptr,
       "package integrity check: no .sig or .sha256 found for " + pkg + " (ZOL_REQUIRE_CHECKSUM=1)"},
      {"checksum required by the environment only", false, "", "", "1", nullptr, ""},
      {"key given", true, "", ours, nullptr, pkgfmt::kBuiltinPublicKey, ""},
      {"key in the environment only", true, "", "", nullptr, ours.c_str(),
       "package signature verification failed: package signed with untrusted key (got " + ours + ", expected " +
           pkgfmt::kBuiltinPublicKey + ")"},
  };
  for (const Case& c : cases) {
    std::remove((pkg + ".sig").c_str());
    if (c.signed_package) {
      ASSERT_TRUE(pkgfmt::SignPackage(pkg, keys + "/zol-signing.key").ok());
    }
    ScopedEnv env;
    env.Set("ZOL_REQUIRE_CHECKSUM", c.env_require);
    env.Set("ZOL_PUBLIC_KEY", c.env_key);
    config::Config cfg;
    cfg.RequireChecksum = c.require_checksum;
    cfg.PublicKey = c.public_key;
    EXPECT_EQ(verifyPackageIntegrity(cfg, pkg).message(), c.err) << c.name;
  }
}

}  // namespace
}  // namespace cli
