#include "internal/builder/recipe.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "internal/util/beneath.h"
#include "internal/util/files.h"
#include "internal/util/json_reader.h"
#include "internal/util/paths.h"

namespace builder {
namespace {

using util::Error;
using util::Root;

namespace json = util::json;

Error DecodeRecipe(const json::Value& v, const std::string& path, ZolRecipe& r) {
  return json::DecodeObject(v, "ZolRecipe", path,
                            {
                                json::Bind("pip_extras", r.PipExtras),
                                json::Bind("entry_args", r.EntryArgs),
                                json::Bind("overlay_files", r.OverlayFiles),
                            });
}

Error Escapes(const Root& root, const std::string& rel) {
  return Error::Msg(root.PathOf(rel) + ": path leads outside rootfs-overlay");
}

void Warn(const char* what, const std::string& key, const Error& cause) {
  std::printf("  [recipe] warn: could not %s %s: %s\n", what, key.c_str(), cause.message().c_str());
}

// One overlay file, written beneath the overlay root. The write warning also
// covers keys refused for leaving the overlay, wherever the refusal shows.
void WriteOverlay(const Root& overlay, const std::string& key, const std::string& text) {
  // The key is cleaned as a path below the overlay: "a/../b" is "b", while
  // "", "." and anything climbing out name no file inside.
  const std::string joined = util::JoinPath("rootfs-overlay", key);
  if (!util::HasPrefix(joined, "rootfs-overlay/")) {
    Warn("write overlay", key, Escapes(overlay, key));
    return;
  }
  const std::string rel = joined.substr(std::string_view("rootfs-overlay/").size());
  if (Error e = overlay.MkdirAll(util::DirName(rel), 0755); !e.ok()) {
    if (e.Is(EXDEV)) {
      Warn("write overlay", key, Escapes(overlay, rel));
    } else {
      Warn("create dir for overlay", key, e);
    }
    return;
  }
  auto fd = overlay.OpenFile(rel, O_WRONLY | O_CREAT | O_TRUNC, 0644, Root::Follow::kYes);
  if (!fd.ok()) {
    Warn("write overlay", key, fd.error().Is(EXDEV) ? Escapes(overlay, rel) : fd.error());
    return;
  }
  if (Error e = util::WriteAndClose(std::move(*fd), text, overlay.PathOf(rel)); !e.ok()) {
    Warn("write overlay", key, e);
    return;
  }
  std::printf("  [recipe] overlay: %s\n", key.c_str());
}

}  // namespace

util::Result<ZolRecipe> LoadRecipe(const std::string& path) {
  ZolRecipe r;
  if (path.empty()) return r;
  // A recipe's overlay files are configuration files, not payloads.
  auto data = util::ReadFile(path, 0, kMaxRecipeBytes);
  if (!data.ok()) return data.error().Wrap("read recipe " + path);
  ZOL_TRY(json::DecodeDocument(*data, r, DecodeRecipe), "parse recipe " + path);
  return r;
}

void applyRecipePostBuild(const ZolRecipe& recipe, const std::string& files_dir, pkgfmt::Manifest& m) {
  for (const std::string& a : recipe.EntryArgs) m.Entry.Args.push_back(a);
  if (recipe.OverlayFiles.empty()) return;
  // The overlay root is opened once; every key is resolved beneath it.
  auto files = Root::Open(files_dir);
  Error e = files.ok() ? files->MkdirAll("rootfs-overlay", 0755) : files.error();
  if (!e.ok()) {
    for (const auto& [key, text] : recipe.OverlayFiles) Warn("create dir for overlay", key, e);
    return;
  }
  auto overlay = files->Sub("rootfs-overlay");
  if (!overlay.ok()) {
    for (const auto& [key, text] : recipe.OverlayFiles) Warn("write overlay", key, overlay.error());
    return;
  }
  for (const auto& [key, text] : recipe.OverlayFiles) WriteOverlay(*overlay, key, text);
}

}  // namespace builder
