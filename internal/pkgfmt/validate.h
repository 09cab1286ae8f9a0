// The trial check install runs on a package file before it touches anything.
#pragma once

#include <string>

#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/util/error.h"

namespace pkgfmt {

// "not a .zol file: %s" unless the name ends in ".zol".
util::Error CheckZOLName(const std::string& path);

// A package extracted and checked: its manifest, and the bytes it was parsed
// from (not whatever the name in the tree leads to later).
struct ValidatedZOL {
  Manifest manifest;
  std::string manifest_bytes;
};

// The manifest of a package extracted into dir, read beneath it, parsed and
// validated. Errors: "read manifest: %w", "parse manifest: %w".
util::Result<ValidatedZOL> ReadZOLManifest(const std::string& dir);

// That "files" in the package extracted into dir is a directory. Errors:
// "missing files directory in package" (absent or not a directory), or the
// failure to look at it as it is.
util::Error CheckFilesDir(const std::string& dir);

// Extracts the package at path into the existing directory dir with
// `options`, parses and validates its manifest and checks that "files" is a
// directory. Errors: "extract zol: %w", "read manifest: %w", "parse manifest:
// %w", "missing files directory in package" (absent or not a directory), or
// the failure to look at "files" as it is.
util::Result<ValidatedZOL> ExtractValidZOL(const std::string& path, const std::string& dir,
                                           const ExtractOptions& options);

// CheckZOLName, then ExtractValidZOL into a fresh "zol-validate-" temporary
// directory (removed again on every way out). Changes nothing. Errors: those
// two, and "create temp dir: %w".
util::Error ValidateZOL(const std::string& path);

}  // namespace pkgfmt
