// Reader of Debian packages: the control and data members of the ar
// container, the control file, and the unpacking of the data tree.
#pragma once

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "internal/util/error.h"

namespace builder {

struct DebControl {
  std::string Package;       // "package"
  std::string Version;       // "version"
  std::string Architecture;  // "architecture"
  std::string Maintainer;    // "maintainer"
  std::string Description;   // "description"
  std::string Depends;       // "depends"
  std::string PreDepends;    // "pre-depends"
  std::string Section;       // "section"
  std::string Priority;      // "priority"
  std::string InstalledSize; // "installed-size"
  // Every field of the file under its lower-case key.
  std::map<std::string, std::string> Fields;
};

struct DebPackage {
  DebControl Control;
  std::string ControlData;  // the control member as stored (still compressed)
  std::string DataTar;      // the data member as stored (still compressed)
};

// Reads a Debian package whole. Failures: "parse deb ar: %w", "control.tar not
// found in deb", "data.tar not found in deb", "extract control: %w" (also when
// Package, Version or Architecture holds a NUL byte, since those name files).
util::Result<DebPackage> ParseDeb(const std::string& path);

// The control file inside a control member. Failures: "open control tar: %w",
// "control file not found in control.tar", "tar reader: %w", "read control:
// %w" (also for a control file above the ar member limit).
util::Result<DebControl> extractControl(std::string_view control_tar);

// Parses control-file text; never fails.
DebControl parseControlContent(std::string_view text);

// Joins the run of continuation lines starting at `start`; returns the text and
// the index of the first line not taken.
std::pair<std::string, int> parseMultilineValue(const std::vector<std::string>& lines, int start);

// Unpacks a (possibly compressed) data member into `dest`, entries in archive
// order. Nothing is created or written outside dest: an entry whose path
// leaves it, lexically or through links already under it, fails with "path
// traversal detected: %s" naming the entry. Failures: "open data tar: %w",
// "tar next: %w", and the per-entry messages ("mkdir %s: %w", "mkdir parent
// %s: %w", "symlink %s: %w", "create file %s: %w", "copy file %s: %w",
// "close file %s: %w", "chmod %s: %w", "link %s: %w"). What was written stays
// on failure; the caller removes its build directory.
util::Error extractDataTar(std::string_view data, const std::string& dest);

}  // namespace builder
