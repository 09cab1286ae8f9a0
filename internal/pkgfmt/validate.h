// The trial check install runs on a package file before it touches anything.
#pragma once

#include <string>

#include "internal/util/error.h"

namespace pkgfmt {

// Extracts the package into a fresh "zol-validate-" temporary directory
// (removed again on every way out), parses and validates its manifest and
// checks that "files" is a directory. Changes nothing. Errors: "not a .zol
// file: %s", "create temp dir: %w", "extract zol: %w", "read manifest: %w",
// "parse manifest: %w", "missing files directory in package".
util::Error ValidateZOL(const std::string& path);

}  // namespace pkgfmt
