// Test helpers for trees on disk: lay one out from a compact list, and list
// one back as text lines that show type, mode, content and link text.
#pragma once

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "internal/builder/validate.h"
#include "internal/testing/env.h"
#include "internal/testing/files.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/tempdir.h"

namespace builder::testing {

using testutil::Slurp;
using testutil::Spit;

// The package architecture a build takes from this host when none is given.
inline std::string HostArch() {
  auto arch = IndependentArch("");
  EXPECT_TRUE(arch.ok()) << arch.error().message();
  return arch.ok() ? *arch : "";
}

// "d PATH", "f PATH CONTENT" (content may hold blanks), "l PATH TARGET",
// "x PATH CONTENT" (an executable file), each below root.
inline void MakeTree(const std::string& root, const std::vector<std::string>& entries) {
  for (const std::string& line : entries) {
    const char kind = line[0];
    const std::string rest = line.substr(2);
    const size_t sp = rest.find(' ');
    const std::string path = root + "/" + rest.substr(0, sp);
    const std::string arg = sp == std::string::npos ? "" : rest.substr(sp + 1);
    switch (kind) {
      case 'd': (void)util::MkdirAll(path, 0755); break;
      case 'f': Spit(path, arg); break;
      case 'x': Spit(path, arg, 0755); break;
      case 'l':
        (void)util::MkdirAll(util::DirName(path), 0755);
        if (::symlink(arg.c_str(), path.c_str()) != 0) {
          ADD_FAILURE() << "symlink " << path << ": " << std::strerror(errno);
        }
        break;
    }
  }
}

struct ListingOptions {
  bool dir_modes = true;    // "d 0755 /a"; else "d /a"
  bool hard_links = false;  // later names of a file add " (same as /first)"
};

// Every entry below root (links not followed), sorted: "d 0755 /a",
// "f 0644 /a/b = text", "l /a/c -> target".
inline std::vector<std::string> Listing(const std::string& root, ListingOptions opts = {}) {
  std::vector<std::string> out;
  std::map<ino_t, std::string> first_name;
  std::function<void(const std::string&)> walk = [&](const std::string& rel) {
    DIR* d = ::opendir((root + rel).c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (struct dirent* e = ::readdir(d)) {
      if (std::strcmp(e->d_name, ".") && std::strcmp(e->d_name, "..")) names.push_back(e->d_name);
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    for (const auto& n : names) {
      const std::string r = rel + "/" + n;
      struct stat st;
      ::lstat((root + r).c_str(), &st);
      char mode[8];
      std::snprintf(mode, sizeof mode, "%04o", st.st_mode & 07777);
      if (S_ISDIR(st.st_mode)) {
        out.push_back("d " + (opts.dir_modes ? std::string(mode) + " " : "") + r);
        walk(r);
      } else if (S_ISLNK(st.st_mode)) {
        char buf[4096];
        const ssize_t k = ::readlink((root + r).c_str(), buf, sizeof buf);
        out.push_back("l " + r + " -> " + std::string(buf, k > 0 ? k : 0));
      } else {
        std::string line = "f " + std::string(mode) + " " + r + " = " + Slurp(root + r);
        if (opts.hard_links && st.st_nlink > 1) {
          auto [it, fresh] = first_name.emplace(st.st_ino, r);
          if (!fresh) line += " (same as " + it->second + ")";
        }
        out.push_back(line);
      }
    }
  };
  walk("");
  return out;
}

// The listing, hard links marked, of what an extraction that had to succeed
// left at dest; the extraction's error fails the test.
inline std::vector<std::string> ExtractedListing(const util::Error& e, const std::string& dest) {
  EXPECT_TRUE(e.ok()) << e.message();
  return Listing(dest, {.hard_links = true});
}

// What a test of hostile archives lays beside the destination in dir, for
// nothing to reach: a file "canary" and an empty directory "outside".
inline void LayCanary(const std::string& dir) {
  ASSERT_TRUE(util::MkdirAll(dir + "/outside", 0755).ok());
  testutil::Spit(dir + "/canary", "canary");
}

// The canary and the outside directory are exactly as LayCanary left them.
inline void ExpectCanaryUntouched(const std::string& dir, const std::string& label) {
  struct stat st;
  ASSERT_EQ(::lstat((dir + "/canary").c_str(), &st), 0) << label;
  EXPECT_EQ(st.st_nlink, 1u) << label;
  EXPECT_EQ(Slurp(dir + "/canary"), "canary") << label;
  EXPECT_TRUE(Listing(dir + "/outside").empty()) << label;
}

// Only the lines of Listing for files and links, for trees whose directory
// modes do not matter to a test.
inline std::vector<std::string> FileListing(const std::string& root) {
  std::vector<std::string> out;
  for (auto& l : Listing(root)) {
    if (l[0] != 'd') out.push_back(std::move(l));
  }
  return out;
}

// A fresh directory for each test, removed after it, under umask 022 so that
// the modes a test reads back are the same on every machine.
class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::umask(022);
    auto d = util::TempDir::Make("zol-builder-test-");
    ASSERT_TRUE(d.ok()) << d.error().message();
    tmp_ = std::make_unique<util::TempDir>(std::move(*d));
  }
  std::string Path(const std::string& rel) const { return tmp_->path() + "/" + rel; }
  // Points TMPDIR at a new private "tmp" in the test's directory, so that
  // what the code under test leaves there can be seen; restored after.
  void UsePrivateTmpdir() {
    ASSERT_TRUE(util::MkdirAll(Path("tmp"), 0700).ok());
    env_.Set("TMPDIR", Path("tmp").c_str());
  }

  std::unique_ptr<util::TempDir> tmp_;
  testutil::ScopedEnv env_;
};

}  // namespace builder::testing
