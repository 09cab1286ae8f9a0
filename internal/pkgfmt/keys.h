// Ed25519 key pairs: the key files, the trust anchor of detached signatures,
// and the signing and verifying primitives (pure Ed25519, no context).
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace pkgfmt {

inline constexpr char kPrivateKeyFileName[] = "zol-signing.key";
inline constexpr char kPublicKeyFileName[] = "zol-signing.pub";
inline constexpr char kPrivateKeyPemType[] = "ED25519 PRIVATE KEY";
inline constexpr char kPublicKeyPemType[] = "ED25519 PUBLIC KEY";

inline constexpr size_t kPublicKeySize = 32;
inline constexpr size_t kSeedSize = 32;
// Seed followed by the public key.
inline constexpr size_t kPrivateKeySize = 64;
inline constexpr size_t kSignatureSize = 64;

// The built-in trusted public key, standard base64 of 32 bytes.
inline constexpr char kBuiltinPublicKey[] = "Qm7vTzK2pLx9WcR4hNd8YsF3jUa6EgB1oVt5XqZ0kHw=";

// The trust anchor text of detached signatures: `configured` (the text of
// $ZOL_PUBLIC_KEY, as the front end read it) when not empty, else
// kBuiltinPublicKey.
std::string TrustedPublicKeyText(const std::string& configured);

// Makes `dir` (0700, parents too; an existing directory keeps its mode), a new
// key pair, "zol-signing.key" (0600) and "zol-signing.pub" (0644), and reports
// both on `out`. Each key file is written to a new file and renamed into
// place, so an old file's mode or a link planted at its name is never reused.
// Errors: "create key dir: %w", "generate key: %w", "write private key: %w",
// "write public key: %w".
util::Error GenerateKeyPair(const std::string& dir, std::FILE* out = stdout);

// The content of the key file at path (links followed). Errors: "open PATH:
// reason" (an empty path still shows where the path goes: "open : reason"),
// "read PATH: reason".
util::Result<std::string> ReadKeyFile(const std::string& path);

// Signs `message` under a 64-byte private key (seed then public key). The
// signature is made from the seed alone; a public half that is not the
// seed's fails ("ed25519 private key: public key does not belong to the seed").
util::Result<std::string> Ed25519Sign(std::string_view private_key, std::string_view message);

// True when `signature` (64 bytes) is a valid signature of `message` under the
// 32-byte `public_key`; any other length is simply invalid.
bool Ed25519Verify(std::string_view public_key, std::string_view message, std::string_view signature);

// The public key that belongs to a 32-byte seed.
util::Result<std::string> Ed25519PublicFromSeed(std::string_view seed);

}  // namespace pkgfmt
