// Test helpers for the checksum and signature tests: scratch files and the
// openssl and sha256sum command lines as independent implementations.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "internal/testing/files.h"
#include "internal/util/tempdir.h"

namespace pkgfmt::testing {

using testutil::Slurp;
using testutil::Spit;

// Runs a fixture shell command; returns its standard output and sets *status.
inline std::string Shell(const std::string& cmd, int* status = nullptr) {
  std::string out;
  FILE* p = ::popen(cmd.c_str(), "r");
  if (p == nullptr) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  int st = ::pclose(p);
  if (status != nullptr) *status = st;
  return out;
}

inline std::string HexOf(const std::string& bytes) {
  static const char d[] = "0123456789abcdef";
  std::string s;
  for (unsigned char c : bytes) {
    s += d[c >> 4];
    s += d[c & 15];
  }
  return s;
}

// DER wrappers that let openssl read raw Ed25519 keys.
inline std::string Pkcs8FromSeed(const std::string& seed) {
  static const unsigned char prefix[] = {0x30, 0x2e, 0x02, 0x01, 0x00, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x70,
                                         0x04, 0x22, 0x04, 0x20};
  return std::string(reinterpret_cast<const char*>(prefix), sizeof prefix) + seed;
}
inline std::string SpkiFromPublic(const std::string& pub) {
  static const unsigned char prefix[] = {0x30, 0x2a, 0x30, 0x05, 0x06, 0x03, 0x2b, 0x65, 0x70, 0x03, 0x21, 0x00};
  return std::string(reinterpret_cast<const char*>(prefix), sizeof prefix) + pub;
}

class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    auto d = util::TempDir::Make("crypto-test-");
    ASSERT_TRUE(d.ok()) << d.error().message();
    dir_.emplace(std::move(*d));
  }
  std::string Path(const std::string& name) const { return dir_->path() + "/" + name; }
  const std::string& Dir() const { return dir_->path(); }

  std::optional<util::TempDir> dir_;
};

}  // namespace pkgfmt::testing
