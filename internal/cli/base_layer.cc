// Base layers: the install of a base package and the check of the layers an
// application requires.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "internal/cli/base_layer.h"
#include "internal/cli/run_hold.h"
#include "internal/cli/validators.h"
#include "internal/pkgfmt/names.h"
#include "internal/runtime/mounts.h"
#include "internal/util/atomic_file.h"
#include "internal/util/audit.h"
#include "internal/util/beneath.h"
#include "internal/util/dir_list.h"
#include "internal/util/files.h"
#include "internal/util/json_writer.h"
#include "internal/util/log.h"
#include "internal/util/mountinfo.h"
#include "internal/util/paths.h"
#include "internal/util/process.h"
#include "internal/util/replace_tree.h"
#include "internal/util/strings.h"
#include "internal/util/xz_env.h"

namespace cli {

namespace {

constexpr char kBaseIDPrefix[] = "com.calderim.base.";
constexpr char kShortBasePrefix[] = "base.";
constexpr char kResolverText[] = "nameserver 1.1.1.1\nnameserver 8.8.8.8\n";

// The sandbox mount points, the sticky tmp and the resolver fix all work on a
// root filesystem that came from a package: every path is resolved beneath
// it, so a "tmp -> /etc" or "etc -> /etc" link cannot change the host.
void prepareRootfs(const std::string& rootfs) {
  util::Result<util::Root> root = util::Root::Open(rootfs);
  if (!root.ok()) {
    util::Warn("[base] open rootfs %s: %v", rootfs, root.error());
    return;
  }
  for (const std::string& name : runtime::LayerMountPoints()) {
    util::Error e = root->MkdirAll(name, 0755);
    if (!e.ok()) util::Warn("[base] mkdir sandbox dir %s: %v", name, e);
  }
  util::Error e = root->Chmod("tmp", 01777);
  if (!e.ok()) util::Warn("[base] chmod tmp: %v", e);

  util::Result<struct stat> lst = root->Lstat("etc/resolv.conf");
  if (!lst.ok() || !S_ISLNK(lst->st_mode)) return;
  // The link is judged as the installing process sees the file system: an
  // absolute target is looked up on the host.
  struct stat st;
  const std::string path = util::JoinPath(rootfs, "etc/resolv.conf");
  if (::stat(path.c_str(), &st) == 0 || errno != ENOENT) return;
  e = root->Remove("etc/resolv.conf");
  if (!e.ok() && !e.Is(ENOENT)) util::Warn("[base] remove dangling resolv.conf: %v", e);
  util::Result<util::UniqueFd> fd =
      root->OpenFile("etc/resolv.conf", O_WRONLY | O_CREAT | O_EXCL, 0644, util::Root::Follow::kNo);
  if (!fd.ok()) {
    util::Warn("[base] write resolv.conf: %v", fd.error());
    return;
  }
  const std::string text = kResolverText;
  if (::write(fd->get(), text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
    util::Warn("[base] write resolv.conf: %v", util::Error::Errno("write", path, errno));
    return;
  }
  util::Info("[base] Fixed dangling resolv.conf symlink.");
}

}  // namespace

std::vector<std::string> mountsBeneath(const std::string& dir) {
  char* real = ::realpath(dir.c_str(), nullptr);
  if (real == nullptr) return {};
  const std::string base = real;
  std::free(real);
  util::Result<std::string> info = util::ReadFile("/proc/self/mountinfo", 0, 64 << 20);
  if (!info.ok()) return {};
  return util::MountPointsAtOrBelow(*info, base);
}

bool baseLayerName(const std::string& id, std::string* name) {
  if (!pkgfmt::HasBaseLayerIDPrefix(id)) return false;
  std::string n = id;
  if (util::HasPrefix(n, kBaseIDPrefix)) n.erase(0, sizeof kBaseIDPrefix - 1);
  if (util::HasPrefix(n, kShortBasePrefix)) n.erase(0, sizeof kShortBasePrefix - 1);
  *name = n;
  return true;
}

std::string runtimeJSON(const std::string& layer, const std::string& version, const std::string& arch) {
  std::string out = "{\n";
  out += "  \"id\": " + util::JsonQuote(layer) + ",\n";
  out += "  \"distro\": \"ubuntu\",\n";
  out += "  \"version\": " + util::JsonQuote(version) + ",\n";
  out += "  \"arch\": " + util::JsonQuote(arch) + ",\n";
  out += "  \"rootfs\": \"rootfs\"\n";
  out += "}\n";
  return out;
}

util::Error runTarExtract(const std::string& tarball, const std::string& dest, bool xattrs) {
  ZOL_TRY(validateCommandArg(tarball));
  ZOL_TRY(validateCommandArg(dest));
  std::vector<std::string> args;
  if (xattrs) {
    args.push_back("--xattrs");
    args.push_back("--acls");
  }
  // Owners stay numeric: a layer must not depend on this host's user names.
  for (const char* a : {"--numeric-owner", "-xJf"}) args.push_back(a);
  args.push_back(tarball);
  args.push_back("-C");
  args.push_back(dest);
  ZOL_ASSIGN_OR_RETURN(util::Command cmd, newValidatedCommand("tar", args));
  cmd.env = util::ParallelXzEnviron();
  cmd.stdout_mode = util::Stdio::kInherit;
  cmd.stderr_mode = util::Stdio::kInherit;
  return util::RunProcess(cmd);
}

util::Result<util::FileLock> lockBaseLayers(const config::Settings& cfg) {
  // Beside the runtime directory, not in it: nothing there can be taken for
  // a layer, listed, or removed by an uninstall.
  return util::LockFile(util::CleanPath(cfg.RuntimeDir) + ".lock");
}

util::Error removeLayerTree(const std::string& path) {
  // "--one-file-system" does not see a bind mount of the same file system,
  // so a tree with any mount inside is left where it is.
  std::vector<std::string> mounted = mountsBeneath(path);
  if (!mounted.empty()) return util::Error::Msg("still mounted: " + mounted.front());
  ZOL_ASSIGN_OR_RETURN(util::Command rm, newValidatedCommand("rm", {"-rf", "--one-file-system", path}));
  rm.stdout_mode = util::Stdio::kToStderr;
  rm.stderr_mode = util::Stdio::kInherit;
  return util::RunProcess(rm);
}

std::string layerAsidePrefix(const config::Settings& cfg, const std::string& name) {
  // Hidden, so that neither "list" nor "info" takes it for a layer.
  return util::JoinPath(cfg.RuntimeDir, "." + name + std::string(pkgfmt::kRemovingInfix));
}

bool removeLayerLeftovers(const config::Settings& cfg, const std::string& name) {
  bool finished = false;
  auto remove = [](const std::string& path) {
    util::Error e = removeLayerTree(path);
    if (!e.ok()) util::Warn("remove leftover %s: %v", path, e);
    return e.ok();
  };
  const std::string prefix = util::BaseName(layerAsidePrefix(cfg, name));
  if (util::Result<std::vector<std::string>> names = util::ListDir(cfg.RuntimeDir); names.ok()) {
    for (const std::string& n : *names) {
      if (n.size() == prefix.size() + 6 && util::HasPrefix(n, prefix)) finished |= remove(util::JoinPath(cfg.RuntimeDir, n));
    }
  }
  const std::string layer_dir = util::JoinPath(cfg.RuntimeDir, name);
  util::Result<std::vector<std::string>> inside = util::ListDir(layer_dir, false);
  if (!inside.ok()) return finished;
  for (const std::string& n : *inside) {
    if (n == "rootfs.installing" || util::HasPrefix(n, "rootfs.replaced-")) remove(util::JoinPath(layer_dir, n));
  }
  // What a first install killed before its rootfs was in place leaves.
  ::rmdir(layer_dir.c_str());
  return finished;
}

bool layerComplete(const std::string& layer_dir) {
  struct stat rootfs, json;
  return ::lstat(util::JoinPath(layer_dir, "rootfs").c_str(), &rootfs) == 0 && S_ISDIR(rootfs.st_mode) &&
         ::lstat(util::JoinPath(layer_dir, "runtime.json").c_str(), &json) == 0 && S_ISREG(json.st_mode);
}

util::Error installBaseZOL(const std::string& dir, const pkgfmt::Manifest& m, const config::Settings& cfg) {
  const std::string name = m.Base + "-" + m.Arch;
  const std::string layer_dir = util::JoinPath(cfg.RuntimeDir, name);
  const std::string rootfs = util::JoinPath(layer_dir, "rootfs");
  const std::string tarball = util::JoinPath({dir, "files", "rootfs.tar.xz"});

  util::Info("[base] Installing base layer: %s \u2192 %s", name, rootfs);
  if (!util::Exists(tarball)) {
    return util::Error::Msg(
        "base package missing files/rootfs.tar.xz (was it built with zol-cli build --create-base?)");
  }

  // Whatever exists below is judged and removed with no other install or
  // uninstall of a layer at work, so each removes only what it made itself.
  ZOL_ASSIGN_OR_RETURN(const util::FileLock lock, lockBaseLayers(cfg), "lock base layers");

  removeLayerLeftovers(cfg, name);

  struct stat st;
  const bool layer_existed = ::lstat(layer_dir.c_str(), &st) == 0;
  // A reinstall replaces the rootfs that runs of the layer use.
  ZOL_ASSIGN_OR_RETURN(const std::optional<util::FileLock> claim, claimTree(layer_dir, "base layer " + name));
  // The tarball is unpacked into a staging rootfs beside the real one and
  // put in its place only when complete: a failed or interrupted unpack
  // never leaves a half layer that looks installed, nor damages the old one.
  const std::string staging = rootfs + ".installing";
  util::Error e = util::EnsureDir(layer_dir);
  if (e.ok() && ::lstat(staging.c_str(), &st) == 0) {
    e = util::Error::Msg(staging + " is left from an earlier install and could not be removed");
  }
  if (e.ok()) e = util::MkdirAll(staging, 0755);
  if (!e.ok()) return e.Wrap("create rootfs dir");

  // Until the new rootfs is in place, a failure leaves nothing of this
  // install: not the staging tree, nor a layer directory made for it.
  util::TreeGuard layer_guard(layer_existed ? "" : layer_dir);
  util::TreeGuard staging_guard(staging);

  util::Info("[base] Extracting rootfs (this may take a few minutes)...");
  e = runTarExtract(tarball, staging, true);
  if (!e.ok()) {
    // Some file systems refuse extended attributes or ACLs; a second try
    // without them decides.
    util::RemoveAll(staging).IgnoreError();
    e = util::MkdirAll(staging, 0755);
    if (e.ok()) e = runTarExtract(tarball, staging, false);
  }
  if (!e.ok()) return e.Wrap("extract rootfs");

  prepareRootfs(staging);

  // The new and the old rootfs change places in one step, so the layer never
  // lacks one; the old tree, now at the staging path, is removed after. Where
  // the file system cannot exchange, the old tree goes into a holder first.
  ZOL_ASSIGN_OR_RETURN(const std::string old,
                       util::ReplaceTree(staging, rootfs, {.infix = ".replaced-", .leaf = "rootfs", .exchange = true}),
                       "extract rootfs");
  staging_guard.Release();
  layer_guard.Release();
  if (!old.empty()) {
    std::string left = old;
    e = removeLayerTree(old);
    // A tree that keeps a mount stays, but not at the staging path, which
    // the next install must find free.
    if (!e.ok() && old == staging) {
      if (util::Result<std::string> held = util::MoveAside(staging, rootfs + ".replaced-"); held.ok()) {
        left = *held;
        e = removeLayerTree(left);
      }
    }
    if (!e.ok()) util::Warn("[base] remove replaced rootfs %s: %v", left, e);
  }

  ZOL_TRY(util::WriteFileAtomic(util::JoinPath(layer_dir, "runtime.json"),
                                runtimeJSON(name, m.Runtime.Version, m.Arch), 0644),
          "write runtime.json");

  util::Info("[base] Base layer installed: %s (%s)", name, rootfs);
  util::RecordInstall(std::string("com.calderim.base.") + name, m.Version, layer_dir);
  return util::Error();
}

void checkDependencies(const pkgfmt::Manifest& m, const config::Settings& cfg) {
  for (const std::string& name : m.Depends.Runtimes) {
    if (!util::Exists(util::JoinPath({cfg.RuntimeDir, name, "rootfs"}))) {
      util::Info("[warn] Required runtime not found: %s (install with: zol-cli install <base.zol>)", name);
    }
  }
}

}  // namespace cli
