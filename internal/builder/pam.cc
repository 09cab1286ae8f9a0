#include "internal/builder/pam.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "internal/util/beneath.h"
#include "internal/util/copy_tree.h"
#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"

namespace builder {
namespace {

using util::Error;
using util::Result;
using util::Root;

constexpr std::string_view kPAMLine = R"(LIBPAM = CDLL(find_library("pam")))";
constexpr std::string_view kPAMFallback = R"(LIBPAM = CDLL(find_library("pam") or "libpam.so.0"))";

const char* const kRootfsCandidates[] = {
    "usr/lib/x86_64-linux-gnu/libpam.so.0", "usr/lib/aarch64-linux-gnu/libpam.so.0",
    "lib/x86_64-linux-gnu/libpam.so.0",     "lib/aarch64-linux-gnu/libpam.so.0",
    "usr/lib64/libpam.so.0",                "usr/lib/libpam.so.0",
};
const char* const kHostCandidates[] = {
    "/usr/lib/x86_64-linux-gnu/libpam.so.0", "/usr/lib/aarch64-linux-gnu/libpam.so.0",
    "/lib/x86_64-linux-gnu/libpam.so.0",     "/lib/aarch64-linux-gnu/libpam.so.0",
    "/usr/lib64/libpam.so.0",                "/lib64/libpam.so.0",
    "/usr/lib/libpam.so.0",                  "/lib/libpam.so.0",
};

Error WriteBeneath(const Root& root, const std::string& rel, std::string_view data) {
  auto fd = root.OpenFile(rel, O_WRONLY | O_CREAT | O_TRUNC, 0644, Root::Follow::kYes);
  if (!fd.ok()) return fd.error();
  return util::WriteAndClose(std::move(*fd), data, root.PathOf(rel));
}

// The copy goes beneath "files": a "lib" or "lib/libpam.so.0" link that the
// Debian package planted is followed only while it stays inside, so the
// host's own library is never overwritten.
Error CopyLibrary(const std::string& lib, const std::string& files_dir) {
  auto root = Root::Open(files_dir);
  if (!root.ok()) return root.error();
  ZOL_TRY(root->MkdirAll("lib", 0755));
  return util::CopyFileInto(lib, *root, "lib/libpam.so.0", Root::Follow::kYes);
}

}  // namespace

std::string findPAMLib(const std::string& rootfs) {
  if (!rootfs.empty()) {
    for (const char* c : kRootfsCandidates) {
      std::string p = util::JoinPath(rootfs, c);
      if (util::Exists(p)) return p;
    }
  }
  for (const char* c : kHostCandidates) {
    if (util::Exists(c)) return c;
  }
  return "";
}

util::Result<bool> patchPAMPath(const std::string& path) {
  auto root = Root::Open(util::DirName(path));
  if (!root.ok()) return root.error();
  const std::string name = util::BaseName(path);
  auto text = root->ReadFile(name);
  if (!text.ok()) return text.error();
  const size_t at = text->find(kPAMLine);
  if (at == std::string::npos) return false;
  text->replace(at, kPAMLine.size(), kPAMFallback);
  ZOL_TRY(WriteBeneath(*root, name, *text));

  // The interpreter would otherwise keep loading the unpatched bytecode.
  auto cache = root->OpenDir("__pycache__");
  if (!cache.ok()) return true;
  auto names = util::ListDir(cache->get(), root->PathOf("__pycache__"));
  if (!names.ok()) return true;
  for (const std::string& n : *names) {
    if (::fnmatch("pamela.cpython-*.pyc", n.c_str(), FNM_PERIOD) != 0) continue;
    const std::string rel = "__pycache__/" + n;
    Error e = root->Remove(rel);
    if (!e.ok() && !e.Is(ENOENT)) {
      std::printf("  [warn] remove stale pyc %s: %s\n", root->PathOf(rel).c_str(), e.message().c_str());
    }
  }
  return true;
}

void patchPAMLibrary(const std::string& site_packages, const std::string& files_dir, const std::string& rootfs) {
  const std::string module = util::JoinPath(site_packages, "pamela.py");
  if (!util::Exists(module)) return;
  const std::string lib = findPAMLib(rootfs);
  if (lib.empty()) {
    std::printf("  [warn] pamela.py found but libpam.so.0 not found on system; PAM auth may fail in chroot\n");
    return;
  }
  if (CopyLibrary(lib, files_dir).ok()) std::printf("  [pam] Bundled %s -> files/lib/libpam.so.0\n", lib.c_str());
  auto patched = patchPAMPath(module);
  if (patched.ok() && *patched) std::printf("  [pam] Patched pamela.py: added libpam.so.0 fallback for chroot\n");
}

}  // namespace builder
