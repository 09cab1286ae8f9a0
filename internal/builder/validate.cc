#include "internal/builder/validate.h"

#include <sys/utsname.h>

#include <cerrno>
#include <string_view>

#include "internal/pkgfmt/names.h"
#include "internal/util/command_rule.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace builder {

namespace {

// The NUL byte is not among them: the builder's programs take their
// arguments from the build command and the package metadata, not a shell.
constexpr util::CommandRule kRule{util::NulByte::kAllowed, util::DotDot::kAnywhere};

}  // namespace

util::Error validateCommandBinary(const std::string& path) { return util::ValidateCommandBinary(path, kRule); }

util::Error validateCommandArg(const std::string& arg) { return util::ValidateCommandArg(arg, kRule); }

util::Error validateCommandArgs(const std::vector<std::string>& args) {
  for (const auto& a : args) ZOL_TRY(validateCommandArg(a));
  return {};
}

util::Error validateFilesystemPath(const std::string& path) {
  if (util::BreaksCommandRule(path, kRule)) return util::Error::Msg("invalid filesystem path: " + path);
  if (!util::HasPrefix(path, "/")) return util::Error::Msg("path must be absolute: " + path);
  return {};
}

util::Error CheckInstallNames(const std::string& id, const std::string& version, const std::string& base,
                              bool is_base) {
  const std::pair<const char*, const std::string*> parts[] = {{"id", &id}, {"version", &version}, {"base", &base}};
  for (const auto& [what, value] : parts) {
    const bool valid = std::string_view(what) == "version" ? pkgfmt::ValidVersionDirName(*value)
                                                            : pkgfmt::ValidDirName(*value);
    if (!valid) {
      return util::Error::Msg(util::Sprintf("package %s %s is not usable as a directory name", what,
                                            util::Quote(*value).c_str()));
    }
  }
  if (!is_base && pkgfmt::HasBaseLayerIDPrefix(id)) {
    return util::Error::Msg(util::Sprintf(
        "package id %s: application ids may not begin with \"base.\" or \"com.calderim.base.\"",
        util::Quote(id).c_str()));
  }
  return {};
}

bool IsPackageArch(const std::string& arch) { return arch == "x86_64" || arch == "aarch64"; }

util::Result<std::string> HostPackageArch(std::string_view machine) {
  std::string arch(machine);
  if (IsPackageArch(arch)) return arch;
  return util::Error::Msg(util::Sprintf(
      "host architecture %s is neither x86_64 nor aarch64: give --arch x86_64 or --arch aarch64", arch.c_str()));
}

util::Result<std::string> IndependentArch(const std::string& requested) {
  if (requested.empty()) {
    struct utsname u;
    if (::uname(&u) != 0) return util::Error::Sys("uname", errno);
    return HostPackageArch(u.machine);
  }
  if (!IsPackageArch(requested)) {
    return util::Error::Msg(util::Sprintf("invalid architecture: %s (must be x86_64 or aarch64)", requested.c_str()));
  }
  return requested;
}

util::Result<std::string> PackagePath(const std::string& output, const std::string& id,
                                      const std::string& version, const std::string& arch) {
  const std::pair<const char*, const std::string*> parts[] = {
      {"id", &id}, {"version", &version}, {"architecture", &arch}};
  for (const auto& [what, value] : parts) {
    if (value->find('/') != std::string::npos || value->find('\0') != std::string::npos) {
      return util::Error::Msg(util::Sprintf("package %s %s cannot be part of a file name", what,
                                            util::Quote(*value).c_str()));
    }
  }
  return util::JoinPath(output, id + "_" + version + "_" + arch + ".zol");
}

}  // namespace builder
