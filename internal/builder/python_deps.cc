#include "internal/builder/python_deps.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>

#include "internal/builder/validate.h"
#include "internal/util/copy_tree.h"
#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/process.h"
#include "internal/util/strings.h"

namespace builder {
namespace {

using util::Error;
using util::Root;

constexpr std::string_view kModulePip = " -m pip";

std::vector<std::string> Words(const std::string& s) {
  std::vector<std::string> out;
  size_t i = 0;
  while (i < s.size()) {
    while (i < s.size() && std::isspace(static_cast<unsigned char>(s[i]))) ++i;
    size_t j = i;
    while (j < s.size() && !std::isspace(static_cast<unsigned char>(s[j]))) ++j;
    if (j > i) out.push_back(s.substr(i, j - i));
    i = j;
  }
  return out;
}

// The tree `src` at `rel` beneath `dst`; links are recreated with their text
// and never written through.
Error CopyDir(const std::string& src, const Root& dst, const std::string& rel) {
  struct stat top;
  if (::stat(src.c_str(), &top) != 0) return Error::Errno("stat", src, errno);
  ZOL_TRY(dst.MkdirAll(rel, top.st_mode & 0777));
  ZOL_ASSIGN_OR_RETURN(Root sub, dst.Sub(rel));
  util::CopyTreeOptions options;
  options.dir_bits = 0777;
  return util::CopyTree(src, sub, options);
}

bool IsRealDir(const std::string& path) {
  struct stat st;
  return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

std::vector<std::string> pipArgv(const std::string& pip_cmd, const std::string& reqs, const std::string& target,
                                 const BuildOptions& opts) {
  std::vector<std::string> argv;
  if (util::HasSuffix(pip_cmd, kModulePip)) {
    argv = {pip_cmd.substr(0, pip_cmd.size() - kModulePip.size()), "-m", "pip"};
  } else {
    argv = {pip_cmd};
  }
  argv.push_back("install");
  for (auto& w : Words(reqs)) argv.push_back(std::move(w));
  argv.push_back("--target");
  argv.push_back(target);
  argv.push_back("--no-warn-script-location");
  argv.push_back("--quiet");
  if (!opts.PipIndexURL.empty()) {
    argv.push_back("--index-url");
    argv.push_back(opts.PipIndexURL);
  }
  if (!opts.PipTrustedHost.empty()) {
    argv.push_back("--trusted-host");
    argv.push_back(opts.PipTrustedHost);
  }
  return argv;
}

Error pipInstallWithBin(const std::string& pip_cmd, const std::string& reqs, const std::string& target,
                        const BuildOptions& opts) {
  // The words come from the command line, the recipe and the Debian control
  // file; one such as "--extra-index-url=..." would reach pip as an option.
  for (const std::string& w : Words(reqs)) {
    if (w[0] == '-') return Error::Msg("invalid pip requirement: " + w + " (must not begin with \"-\")");
  }
  std::vector<std::string> argv = pipArgv(pip_cmd, reqs, target, opts);
  ZOL_TRY(validateCommandBinary(argv[0]));
  std::vector<std::string> args(argv.begin() + 1, argv.end());
  ZOL_TRY(validateCommandArgs(args));
  util::Command cmd;
  cmd.path = argv[0];
  cmd.args = std::move(args);
  cmd.stdin_mode = util::Stdio::kNull;
  return util::RunProcess(cmd);
}

Error pipBundlePackage(const std::string& reqs, const std::string& site_packages, const BuildOptions& opts) {
  if (!opts.BundleFromRootfs.empty()) return bundleFromRootfs(opts.BundleFromRootfs, reqs, site_packages, opts);
  std::printf("  [warn] Using host pip3. For Python version compatibility use --bundle-from-rootfs.\n");
  return pipInstallWithBin("pip3", reqs, site_packages, opts);
}

Error bundleFromRootfs(const std::string& rootfs, const std::string& reqs, const std::string& site_packages,
                       const BuildOptions& opts) {
  std::vector<std::string> dirs = findRootfsPythonDistPackages(rootfs);
  if (Words(reqs).size() == 1) {
    std::string underscored = reqs;
    for (char& c : underscored) {
      if (c == '-') c = '_';
    }
    for (const std::string& dir : dirs) {
      for (const std::string* name : {&reqs, static_cast<const std::string*>(&underscored)}) {
        if (!util::Exists(util::JoinPath(dir, *name))) continue;
        std::printf("  [rootfs] Found '%s' in %s \xe2\x80\x94 copying installed packages (offline)...\n",
                    name->c_str(), dir.c_str());
        return copyDistPackagesFromDir(dir, site_packages);
      }
    }
  }
  std::string python = findRootfsPythonBin(rootfs);
  if (python.empty()) {
    return Error::Msg(util::Sprintf("python3 not found in rootfs %s, and package %s not pre-installed",
                                    rootfs.c_str(), reqs.c_str()));
  }
  std::printf("  [rootfs] Using rootfs Python %s to pip install '%s'...\n", python.c_str(), reqs.c_str());
  return pipInstallWithBin(python + std::string(kModulePip), reqs, site_packages, opts);
}

std::vector<std::string> findRootfsPythonDistPackages(const std::string& rootfs) {
  std::vector<std::string> out;
  for (const char* base : {"usr/local/lib", "usr/lib"}) {
    for (auto& d : scanPythonDistDir(util::JoinPath(rootfs, base))) out.push_back(std::move(d));
  }
  return out;
}

std::vector<std::string> scanPythonDistDir(const std::string& base) {
  std::vector<std::string> out;
  auto names = util::ListDir(base);
  if (!names.ok()) return out;
  for (const std::string& n : *names) {
    if (!util::HasPrefix(n, "python") || !IsRealDir(util::JoinPath(base, n))) continue;
    for (const char* sub : {"dist-packages", "site-packages"}) {
      std::string p = util::JoinPath({base, n, sub});
      if (util::Exists(p)) out.push_back(std::move(p));
    }
  }
  return out;
}

std::string findRootfsPythonBin(const std::string& rootfs) {
  for (const char* c : {"usr/local/bin/python3", "usr/bin/python3"}) {
    std::string p = util::JoinPath(rootfs, c);
    if (util::Exists(p)) return p;
  }
  return "";
}

Error copyDistPackagesFromDir(const std::string& dir, const std::string& target) {
  auto names = util::ListDir(dir);
  if (!names.ok()) return names.error().Wrap("read dist-packages dir");
  ZOL_TRY(util::MkdirAll(target, 0755));
  auto root = Root::Open(target);
  if (!root.ok()) return root.error();
  for (const std::string& n : *names) {
    const std::string src = util::JoinPath(dir, n);
    if (IsRealDir(src)) {
      ZOL_TRY(CopyDir(src, *root, n), "copy dir " + n);
    } else if (Error e = util::CopyFileInto(src, *root, n); !e.ok()) {
      return e.Wrap("copy file " + n);
    }
  }
  std::printf("  [rootfs] Copied %zu entries from %s\n", names->size(), dir.c_str());
  return {};
}

}  // namespace builder
