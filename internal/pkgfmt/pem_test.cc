#include "internal/pkgfmt/pem.h"

#include <gtest/gtest.h>

namespace pkgfmt {
namespace {

TEST(Base64, RoundTripsKnownVectors) {
  const std::pair<std::string, std::string> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {std::string("\xfb\xff\x00", 3), "+/8A"},
  };
  for (const auto& [raw, text] : vectors) {
    EXPECT_EQ(Base64Encode(raw), text);
    auto back = Base64Decode(text);
    ASSERT_TRUE(back.ok()) << text << ": " << back.error().message();
    EXPECT_EQ(*back, raw);
  }
}

TEST(Base64, RefusesEverythingOutsideTheStandardForm) {
  const char* bad[] = {
      "Zg",        // no filling
      "Zg=",       // short group
      "Zg=a",      // "=" inside the last group
      "Z===",      // too much filling
      "====",      //
      "Zm9v\n",    // line feeds are not skipped
      " Zm9v",     //
      "Zm-v",      // URL alphabet
      "Zm_v",      //
      "Zg==Zm9v",  // filling before the end
  };
  for (const char* text : bad) EXPECT_FALSE(Base64Decode(text).ok()) << text;
}

TEST(Base64, BuiltInTrustedKeyIs32Bytes) {
  auto key = Base64Decode("Qm7vTzK2pLx9WcR4hNd8YsF3jUa6EgB1oVt5XqZ0kHw=");
  ASSERT_TRUE(key.ok());
  EXPECT_EQ(key->size(), 32u);
}

TEST(Pem, EncodesKeyFilesInLinesOf64) {
  std::string priv(64, '\x01'), pub(32, '\x02');
  std::string b64 = Base64Encode(priv);
  EXPECT_EQ(EncodePemBlock("ED25519 PRIVATE KEY", priv),
            "-----BEGIN ED25519 PRIVATE KEY-----\n" + b64.substr(0, 64) + "\n" + b64.substr(64) +
                "\n-----END ED25519 PRIVATE KEY-----\n");
  EXPECT_EQ(EncodePemBlock("ED25519 PUBLIC KEY", pub),
            "-----BEGIN ED25519 PUBLIC KEY-----\n" + Base64Encode(pub) + "\n-----END ED25519 PUBLIC KEY-----\n");
  auto back = DecodeFirstPemBlock(EncodePemBlock("ED25519 PRIVATE KEY", priv));
  ASSERT_TRUE(back.has_value());
  EXPECT_EQ(back->type, "ED25519 PRIVATE KEY");
  EXPECT_EQ(back->bytes, priv);
}

TEST(Pem, FindsTheFirstWellFormedBlock) {
  const std::string a = "-----BEGIN A-----\nYWFh\n-----END A-----\n";
  const std::string b = "-----BEGIN B-----\nYmJi\n-----END B-----\n";
  struct Case {
    std::string name, text, type, bytes;  // type empty: no block
  } cases[] = {
      {"alone", a, "A", "aaa"},
      {"two blocks", a + b, "A", "aaa"},
      {"text around", "comment\n" + a + "trailer", "A", "aaa"},
      {"no final line feed", "-----BEGIN A-----\nYWFh\n-----END A-----", "A", "aaa"},
      {"crlf and trailing blanks", "-----BEGIN A-----  \r\nYW\r\nFh \r\n-----END A----- \r\n", "A", "aaa"},
      {"empty body", "-----BEGIN E-----\n-----END E-----\n", "E", ""},
      {"bad body skipped", "-----BEGIN A-----\nY!Fh\n-----END A-----\n" + b, "B", "bbb"},
      {"header line skipped", "-----BEGIN A-----\nProc-Type: 4\n\nYWFh\n-----END A-----\n" + b, "B", "bbb"},
      {"label mismatch skipped", "-----BEGIN A-----\nYWFh\n-----END C-----\n" + b, "B", "bbb"},
      {"begin not at line start", "x-----BEGIN A-----\nYWFh\n-----END A-----\n", "", ""},
      {"no end line", "-----BEGIN A-----\nYWFh\n", "", ""},
      {"trailer after end line", "-----BEGIN A-----\nYWFh\n-----END A-----x\n", "", ""},
      {"nothing", "just text\n", "", ""},
      // The begin line's own blank is trailing, so trimming takes it.
      {"begin line cut after its blank", "-----BEGIN \n" + a, "A", "aaa"},
      {"begin line cut, nothing after", "-----BEGIN \t\r", "", ""},
  };
  for (const Case& c : cases) {
    auto block = DecodeFirstPemBlock(c.text);
    if (c.type.empty()) {
      EXPECT_FALSE(block.has_value()) << c.name;
      continue;
    }
    ASSERT_TRUE(block.has_value()) << c.name;
    EXPECT_EQ(block->type, c.type) << c.name;
    EXPECT_EQ(block->bytes, c.bytes) << c.name;
  }
}

}  // namespace
}  // namespace pkgfmt
