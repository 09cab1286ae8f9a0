#include "internal/cli/list_info.h"

// "list" and "info": read-only views of the registry and the runtime directory.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <array>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "internal/cli/base_layer.h"
#include "internal/cli/run_hold.h"
#include "internal/db/installed.h"
#include "internal/pkgfmt/manifest.h"
#include "internal/pkgfmt/names.h"
#include "internal/util/dir_list.h"
#include "internal/util/fd.h"
#include "internal/util/files.h"
#include "internal/util/json_reader.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"
#include "internal/util/timefmt.h"

namespace cli {

namespace {

struct DirEntry {
  std::string name;
  bool is_dir;
};

// The entries of dir in name order; false when it cannot be listed.
bool listDir(const std::string& dir, std::vector<DirEntry>* out) {
  util::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return false;
  util::Result<std::vector<std::string>> names = util::ListDir(fd.get(), dir);
  if (!names.ok()) return false;
  for (std::string& n : *names) {
    struct stat st;
    bool is_dir = ::fstatat(fd.get(), n.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    out->push_back({std::move(n), is_dir});
  }
  return true;
}

bool hasRootfs(const std::string& layer_dir) {
  struct stat st;
  return ::lstat(util::JoinPath(layer_dir, "rootfs").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Width in characters: every UTF-8 lead byte (or stray byte) counts once.
size_t charWidth(std::string_view s) {
  size_t n = 0;
  for (unsigned char c : s) {
    if ((c & 0xC0) != 0x80) ++n;
  }
  return n;
}

using Row = std::array<std::string_view, 6>;

// The table of `count` rows, `row_at(i)` giving row i, aligned and written
// out in pieces of some 64 KiB: a long listing costs a few writes and no copy
// of its cells.
template <class RowAt>
void printTable(size_t count, RowAt row_at) {
  size_t width[5] = {0, 0, 0, 0, 0};
  for (size_t r = 0; r < count; ++r) {
    const Row row = row_at(r);
    for (size_t i = 0; i < 5; ++i) width[i] = std::max(width[i], charWidth(row[i]));
  }
  constexpr size_t kPiece = 64 << 10;
  std::string out;
  out.reserve(kPiece);
  for (size_t r = 0; r < count; ++r) {
    const Row row = row_at(r);
    for (size_t i = 0; i < 5; ++i) {
      out += row[i];
      out.append(width[i] + 2 - charWidth(row[i]), ' ');
    }
    out += row[5];
    out += '\n';
    if (out.size() >= kPiece) {
      std::fwrite(out.data(), 1, out.size(), stdout);
      out.clear();
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
}

}  // namespace

util::Error ListApps(const config::Settings& cfg) {
  ZOL_ASSIGN_OR_RETURN(const std::unique_ptr<db::Database> database, db::LoadDB(cfg.DBFile), "load db");
  std::vector<db::InstalledApp> apps = database->TakeApps();

  std::vector<DirEntry> entries;
  listDir(cfg.RuntimeDir, &entries);
  struct Layer {
    std::string id;
    bool described;  // holds runtime.json
  };
  std::vector<Layer> layers;
  for (const DirEntry& e : entries) {
    // A layer counts once its rootfs is in place, which an install does in
    // one step; what killed commands left (an unfinished rootfs, a layer set
    // aside under a hidden name) is not one.
    if (!e.is_dir || util::HasPrefix(e.name, ".") || !hasRootfs(util::JoinPath(cfg.RuntimeDir, e.name))) continue;
    struct stat st;
    const bool described = ::stat(util::JoinPath({cfg.RuntimeDir, e.name, "runtime.json"}).c_str(), &st) == 0;
    layers.push_back({"com.calderim.base." + e.name, described});
  }
  if (apps.empty() && layers.empty()) {
    std::fputs("No applications or base layers installed\n", stdout);
    return util::Error();
  }
  printTable(1 + layers.size() + apps.size(), [&](size_t r) -> Row {
    if (r == 0) return {"ID", "KIND", "NAME", "VERSION", "ARCH", "STATUS"};
    if (r <= layers.size()) {
      const Layer& l = layers[r - 1];
      return {l.id, "base", "-", l.described ? "installed" : "", "", "installed"};
    }
    const db::InstalledApp& a = apps[r - 1 - layers.size()];
    return {a.ID, a.Kind.empty() ? "app" : std::string_view(a.Kind), a.Name, a.Version, a.Arch, a.Status};
  });
  return util::Error();
}

int64_t getDirSize(const std::string& path) {
  struct stat st;
  if (::lstat(path.c_str(), &st) != 0) return 0;
  if (!S_ISDIR(st.st_mode)) return st.st_size;
  int64_t total = 0;
  std::vector<DirEntry> entries;
  if (!listDir(path, &entries)) return 0;
  for (const DirEntry& e : entries) total += getDirSize(util::JoinPath(path, e.name));
  return total;
}

util::Error showBaseInfo(const std::string& id, const config::Settings& cfg) {
  std::string name;
  baseLayerName(id, &name);
  auto not_found = [&] {
    return util::Error::Msg(util::Sprintf("base layer %s not installed (searched %s)", util::Quote(id).c_str(),
                                          cfg.RuntimeDir.c_str()));
  };
  if (!pkgfmt::ValidDirName(name)) return not_found();
  std::string layer_dir = util::JoinPath(cfg.RuntimeDir, name);
  if (!hasRootfs(layer_dir)) {
    std::vector<DirEntry> entries;
    if (!listDir(cfg.RuntimeDir, &entries)) {
      return util::Error::Msg(util::Sprintf("base layer %s not installed", util::Quote(id).c_str()));
    }
    auto it = std::find_if(entries.begin(), entries.end(),
                           [&](const DirEntry& e) {
                             return e.name.find(name) != std::string::npos && !util::HasPrefix(e.name, ".") &&
                                    hasRootfs(util::JoinPath(cfg.RuntimeDir, e.name));
                           });
    if (it == entries.end()) return not_found();
    name = it->name;
    layer_dir = util::JoinPath(cfg.RuntimeDir, name);
  }

  std::string out = "Base Layer Information:\n";
  out += "  ID:      com.calderim.base." + name + "\n";
  out += "  Path:    " + layer_dir + "\n";
  const std::string runtime_json = util::JoinPath(layer_dir, "runtime.json");
  util::Result<std::string> text = util::ReadFile(runtime_json, 0, 64 << 10);
  if (!text.ok()) {
    // Only a missing file is "not found"; one that is there but cannot be
    // taken is named, so nobody goes looking for a file that exists.
    if (text.error().Is(ENOENT)) {
      out += "  Status:  installed (no runtime.json found)\n";
    } else if (text.error().sys_errno() == 0) {
      out += "  Status:  installed (runtime.json too large: " + runtime_json + ")\n";
    } else {
      out += "  Status:  installed (runtime.json unreadable: " + text.error().message() + ")\n";
    }
    std::fwrite(out.data(), 1, out.size(), stdout);
    return util::Error();
  }
  util::Result<util::json::Value> doc = util::json::Parse(*text);
  if (!doc.ok() || (doc->type != util::json::Type::kObject && !doc->is_null())) {
    out += "  Status:  installed (malformed runtime.json)\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return util::Error();
  }
  out += "  Status:  installed\n";
  const struct {
    const char* key;
    const char* label;
  } kLines[] = {{"version", "  Version: "}, {"arch", "  Arch:    "}, {"distro", "  Distro:  "}};
  for (const auto& line : kLines) {
    const util::json::Value* v = doc->Get(line.key);
    if (v != nullptr && v->type == util::json::Type::kString) out += line.label + v->text + "\n";
  }
  int64_t size = getDirSize(util::JoinPath(layer_dir, "rootfs"));
  if (size > 0) out += "  Rootfs size: " + std::to_string(size / 1048576) + " MB\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return util::Error();
}

util::Error ShowAppInfo(const config::Settings& cfg, const std::string& id) {
  std::string layer;
  if (baseLayerName(id, &layer)) return showBaseInfo(id, cfg);

  // Read with the tree held, as a run reads it: a reinstall racing with
  // this shows the old tree or the new one, never half of either.
  ZOL_ASSIGN_OR_RETURN(const HeldApp held, holdInstalledApp(cfg, id, false));
  const std::optional<db::InstalledApp> app = held.app;
  const pkgfmt::Manifest& m = held.manifest;

  std::string out = "Application Information:\n";
  out += "  ID:          " + m.ID + "\n";
  out += "  Name:        " + m.Name + "\n";
  out += "  Version:     " + m.Version + "\n";
  out += "  Architecture: " + m.Arch + "\n";
  out += "  Base:        " + m.Base + "\n";
  out += "  Kind:        " + m.Kind + "\n";
  if (!m.Description.empty()) out += "  Description: " + m.Description + "\n";
  out += "  Entry Point: " + m.Entry.Command + "\n";
  out += "  Install Path: " + app->InstallPath + "\n";
  out += "  Installed:   " + util::FormatRFC3339(app->InstalledAt) + "\n";
  auto yes_no = [](bool b) { return std::string(b ? "true" : "false"); };
  out += "\nPermissions:\n";
  out += "  Network: " + yes_no(m.Permissions.Network) + "\n";
  out += "  IPC:     " + yes_no(m.Permissions.IPC) + "\n";
  out += "  Shm:     " + yes_no(m.Permissions.Shm) + "\n";
  if (!m.Permissions.Filesystem.Readonly.empty()) {
    out += "  Readonly mounts:\n";
    for (const auto& p : m.Permissions.Filesystem.Readonly) out += "    - " + p + "\n";
  }
  if (!m.Permissions.Filesystem.Writable.empty()) {
    out += "  Writable mounts:\n";
    for (const auto& p : m.Permissions.Filesystem.Writable) out += "    - " + p + "\n";
  }
  out += "\nRuntime Environment:\n";
  for (const auto& [k, v] : m.Runtime.Env) out += "  " + k + "=" + v + "\n";
  if (!m.Depends.Runtimes.empty()) {
    out += "\nRuntime Dependencies:\n";
    for (const auto& r : m.Depends.Runtimes) out += "  - " + r + "\n";
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return util::Error();
}

}  // namespace cli
