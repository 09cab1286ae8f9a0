// Hand-made packages for end-to-end tests, written with the package writer
// itself so install can be tested apart from the builder.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "tests/harness.h"

namespace e2e {

struct AppFields {
  std::string id = "com.example.hello";
  std::string name = "Hello";
  std::string version = "1.0";
  std::string arch = "x86_64";
  std::string base = "testbase";
  std::string kind = "cli";
  std::string command = "/app/bin/hello";
  std::string description;
  std::string install_script;    // lifecycle.install when not empty
  std::string uninstall_script;  // lifecycle.uninstall when not empty
};

// The manifest text of an application.
std::string AppManifestJSON(const AppFields& spec);

// Writes a package at `path` whose manifest is `manifest_json` and whose
// "files" tree holds `files` (relative path -> content; a path ending in
// ".sh" is made executable). Returns false on failure.
bool MakePackage(const std::string& path, const std::string& manifest_json,
                 const std::map<std::string, std::string>& files);

// A base package for base-arch whose rootfs.tar.xz is the system tar's xz
// archive of `rootfs_dir`.
bool MakeBasePackage(const std::string& path, const std::string& base, const std::string& arch,
                     const std::string& version, const std::string& rootfs_dir);

// The manifest text of a base package.
std::string BaseManifestJSON(const std::string& base, const std::string& arch, const std::string& version);

// One member of a package written by hand, in an order or of a kind the
// package writer never makes: 'f' a regular file holding `value`, 'd' a
// directory, 'h' a hard link and 'l' a symbolic link to `value`. Files and
// links are 0644, directories 0755.
struct CraftedMember {
  char kind;
  std::string name;
  std::string value;
};

// Writes a gzip'd tar at `path` holding `members` as given, with Python's
// tarfile as a writer independent of ours; the result tells why it failed.
RunResult CraftPackage(const std::string& path, const std::vector<CraftedMember>& members);

}  // namespace e2e
