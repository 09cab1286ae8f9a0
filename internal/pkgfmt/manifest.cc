#include "internal/pkgfmt/manifest.h"

#include "internal/util/json_writer.h"

namespace pkgfmt {

namespace json = util::json;
using util::Error;

namespace {

Error DecodeEntry(const json::Value& v, const std::string& path, Entry& e) {
  return json::DecodeObject(v, "Entry", path, {
                                                  json::Bind("command", e.Command),
                                                  json::Bind("args", e.Args),
                                              });
}

Error DecodeRuntime(const json::Value& v, const std::string& path, RuntimeEnv& r) {
  return json::DecodeObject(v, "RuntimeEnv", path,
                            {
                                json::Bind("distro", r.Distro),
                                json::Bind("version", r.Version),
                                json::Bind("python", r.Python),
                                json::Bind("env", r.Env),
                            });
}

Error DecodeDepends(const json::Value& v, const std::string& path, Depends& d) {
  return json::DecodeObject(v, "Depends", path,
                            {
                                json::Bind("runtimes", d.Runtimes),
                                json::Bind("libraries", d.Libraries),
                            });
}

Error DecodeFilesystem(const json::Value& v, const std::string& path, FilesystemPerms& f) {
  return json::DecodeObject(v, "FilesystemPerms", path,
                            {
                                json::Bind("readonly", f.Readonly),
                                json::Bind("writable", f.Writable),
                            });
}

Error DecodePermissions(const json::Value& v, const std::string& path, Permissions& p) {
  return json::DecodeObject(v, "Permissions", path,
                            {
                                json::Bind("network", p.Network),
                                json::Bind("ipc", p.IPC),
                                json::Bind("shm", p.Shm),
                                json::BindRecord("filesystem", p.Filesystem, DecodeFilesystem),
                            });
}

Error DecodeBuild(const json::Value& v, const std::string& path, BuildInfo& b) {
  return json::DecodeObject(v, "BuildInfo", path,
                            {
                                json::Bind("source_type", b.SourceType),
                                json::Bind("original_package", b.OriginalPackage),
                                json::Bind("pip_bundled", b.PipBundled),
                            });
}

Error DecodeLifecycle(const json::Value& v, const std::string& path, Lifecycle& l) {
  return json::DecodeObject(v, "Lifecycle", path,
                            {
                                json::Bind("install", l.Install),
                                json::Bind("uninstall", l.Uninstall),
                            });
}

Error DecodeService(const json::Value& v, const std::string& path, Service& s) {
  return json::DecodeObject(v, "Service", path,
                            {
                                json::Bind("name", s.Name),
                                json::Bind("command", s.Command),
                                json::Bind("enabled", s.Enabled),
                                json::Bind("background", s.Background),
                                json::Bind("log_file", s.LogFile),
                            });
}

void WriteList(util::JsonWriter& w, std::string_view key, const StringList& list) {
  w.Key(key);
  if (list.is_null()) {
    w.Null();
  } else {
    w.BeginArray();
    for (const std::string& s : list) w.String(s);
    w.EndArray();
  }
}

void WriteMap(util::JsonWriter& w, std::string_view key, const StringMap& map) {
  w.Key(key);
  if (map.is_null()) {
    w.Null();
    return;
  }
  w.BeginObject();
  for (const auto& [k, v] : map) w.Field(k, v);  // std::map: sorted by byte value
  w.EndObject();
}

}  // namespace

std::string ManifestError::Error() const { return "manifest error: " + Field + ": " + Reason; }

ManifestError ErrMissingField(std::string field) {
  return ManifestError{std::move(field), "required field is missing"};
}

ManifestError ErrInvalidArch(std::string arch) {
  return ManifestError{"arch", "invalid architecture: " + arch};
}

Error Manifest::Validate() const {
  if (ID.empty()) return ErrMissingField("id").AsError();
  if (Version.empty()) return ErrMissingField("version").AsError();
  if (Arch != "x86_64" && Arch != "aarch64") return ErrInvalidArch(Arch).AsError();
  if (Base.empty()) return ErrMissingField("base").AsError();
  if (Kind == "base") return Error();
  if (Entry.Command.empty()) return ErrMissingField("entry.command").AsError();
  return Error();
}

Error DecodeManifest(const json::Value& v, const std::string& path, Manifest& m) {
  return json::DecodeObject(v, "Manifest", path,
                            {
                                json::Bind("id", m.ID),
                                json::Bind("name", m.Name),
                                json::Bind("version", m.Version),
                                json::Bind("arch", m.Arch),
                                json::Bind("base", m.Base),
                                json::Bind("kind", m.Kind),
                                json::Bind("description", m.Description),
                                json::Bind("format_version", m.FormatVersion),
                                json::Bind("build_timestamp", m.BuildTimestamp),
                                json::Bind("checksum", m.Checksum),
                                json::Bind("signed", m.Signed),
                                json::BindRecord("entry", m.Entry, DecodeEntry),
                                json::BindRecord("runtime", m.Runtime, DecodeRuntime),
                                json::BindRecord("depends", m.Depends, DecodeDepends),
                                json::BindRecord("permissions", m.Permissions, DecodePermissions),
                                json::BindRecord("build", m.Build, DecodeBuild),
                                json::BindRecord("lifecycle", m.Lifecycle, DecodeLifecycle),
                                json::BindList("services", "Service", m.Services, DecodeService),
                            });
}

util::Result<Manifest> ParseManifest(std::string_view data) {
  Manifest m;
  ZOL_TRY(json::DecodeDocument(data, m, DecodeManifest));
  ZOL_TRY(m.Validate());
  return m;
}

std::string MarshalManifest(const Manifest& m) {
  util::JsonWriter w("  ");
  w.BeginObject();
  w.Field("id", m.ID);
  w.Field("name", m.Name);
  w.Field("version", m.Version);
  w.Field("arch", m.Arch);
  w.Field("base", m.Base);
  w.Field("kind", m.Kind);
  if (!m.Description.empty()) w.Field("description", m.Description);
  if (m.FormatVersion != 0) w.Field("format_version", m.FormatVersion);
  if (m.BuildTimestamp != 0) w.Field("build_timestamp", m.BuildTimestamp);
  if (!m.Checksum.empty()) w.Field("checksum", m.Checksum);
  if (m.Signed) w.Field("signed", true);

  w.Key("entry");
  w.BeginObject();
  w.Field("command", m.Entry.Command);
  WriteList(w, "args", m.Entry.Args);
  w.EndObject();

  w.Key("runtime");
  w.BeginObject();
  w.Field("distro", m.Runtime.Distro);
  w.Field("version", m.Runtime.Version);
  if (!m.Runtime.Python.empty()) w.Field("python", m.Runtime.Python);
  WriteMap(w, "env", m.Runtime.Env);
  w.EndObject();

  w.Key("depends");
  w.BeginObject();
  WriteList(w, "runtimes", m.Depends.Runtimes);
  WriteList(w, "libraries", m.Depends.Libraries);
  w.EndObject();

  w.Key("permissions");
  w.BeginObject();
  w.Field("network", m.Permissions.Network);
  w.Field("ipc", m.Permissions.IPC);
  w.Field("shm", m.Permissions.Shm);
  w.Key("filesystem");
  w.BeginObject();
  WriteList(w, "readonly", m.Permissions.Filesystem.Readonly);
  WriteList(w, "writable", m.Permissions.Filesystem.Writable);
  w.EndObject();
  w.EndObject();

  w.Key("build");
  w.BeginObject();
  w.Field("source_type", m.Build.SourceType);
  w.Field("original_package", m.Build.OriginalPackage);
  if (m.Build.PipBundled) w.Field("pip_bundled", true);
  w.EndObject();

  if (m.Lifecycle.has_value()) {
    w.Key("lifecycle");
    w.BeginObject();
    if (!m.Lifecycle->Install.empty()) w.Field("install", m.Lifecycle->Install);
    if (!m.Lifecycle->Uninstall.empty()) w.Field("uninstall", m.Lifecycle->Uninstall);
    w.EndObject();
  }

  if (!m.Services.empty()) {
    w.Key("services");
    w.BeginArray();
    for (const Service& s : m.Services) {
      w.BeginObject();
      w.Field("name", s.Name);
      w.Field("command", s.Command);
      w.Field("enabled", s.Enabled);
      w.Field("background", s.Background);
      if (!s.LogFile.empty()) w.Field("log_file", s.LogFile);
      w.EndObject();
    }
    w.EndArray();
  }
  w.EndObject();
  return w.Take();
}

}  // namespace pkgfmt
