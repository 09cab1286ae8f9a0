#include "internal/builder/deb.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <optional>
#include <vector>

#include "internal/builder/ar.h"
#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/tar_reader.h"
#include "internal/util/beneath.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"

namespace builder {
namespace {

using util::Error;
using util::HasPrefix;
using util::HasSuffix;
using util::Result;
using pkgfmt::TarMember;
using pkgfmt::TarReader;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsSpace(s.front())) s.remove_prefix(1);
  while (!s.empty() && IsSpace(s.back())) s.remove_suffix(1);
  return s;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

bool IsContinuation(std::string_view line) { return !line.empty() && (line[0] == ' ' || line[0] == '\t'); }

std::string Field(const std::map<std::string, std::string>& fields, const char* key) {
  auto it = fields.find(key);
  return it == fields.end() ? std::string() : it->second;
}

// The control file is read whole, so it is held to the same bound as an ar
// member: a small package cannot expand into an unbounded control file.
Result<std::string> ReadControlFile(TarReader& tar, const TarMember& entry) {
  if (entry.size > kArMemberLimit) {
    return Error::Msg("control file exceeds size limit of " + std::to_string(kArMemberLimit) + " bytes");
  }
  std::string text;
  char buf[65536];
  for (;;) {
    auto n = tar.Read(buf, sizeof buf);
    if (!n.ok()) return n.error();
    if (*n == 0) break;
    if (text.size() + *n > static_cast<uint64_t>(kArMemberLimit)) {
      return Error::Msg("control file exceeds size limit of " + std::to_string(kArMemberLimit) + " bytes");
    }
    text.append(buf, *n);
  }
  return text;
}

// Escapes through links under the destination are reported like lexical ones:
// the kernel refuses them with EXDEV while resolving beneath the root.
bool Escaped(const Error& e) { return e.Is(EXDEV); }

Error Traversal(const std::string& name) { return Error::Msg("path traversal detected: " + name); }

// The path of `name` relative to the destination, or nullopt when the cleaned
// join leaves it. Names are taken as relative: a leading "/" stays inside.
std::optional<std::string> RelativeTarget(const std::string& clean_dest, std::string_view name) {
  const std::string target = util::JoinPath(clean_dest, name);
  if (target == clean_dest) return std::string();
  if (!HasPrefix(target, clean_dest + "/")) return std::nullopt;
  return target.substr(clean_dest.size() + 1);
}

std::string StripDotSlash(std::string_view name) {
  if (HasPrefix(name, "./")) name.remove_prefix(2);
  return std::string(name);
}

// Creates the missing parents of rel (0755) for a file or link entry.
Error MakeParents(const util::Root& root, const std::string& clean_dest, const std::string& rel,
                  const std::string& name) {
  const std::string parent = util::DirName(rel);
  Error e = root.MkdirAll(parent, 0755);
  if (Escaped(e)) return Traversal(name);
  if (!e.ok()) return e.Wrap("mkdir parent " + util::JoinPath(clean_dest, parent));
  return {};
}

Error ExtractRegular(const util::Root& root, TarReader& tar, const TarMember& entry, const std::string& clean_dest,
                     const std::string& rel, const std::string& name, uint32_t mode) {
  const std::string target = util::JoinPath(clean_dest, rel);
  ZOL_TRY(MakeParents(root, clean_dest, rel, name));
  // A link already at this path is followed only while it stays inside.
  auto fd = root.OpenFile(rel, O_WRONLY | O_CREAT | O_TRUNC, mode & 0777, util::Root::Follow::kYes);
  if (!fd.ok()) {
    if (Escaped(fd.error())) return Traversal(name);
    return fd.error().Wrap("create file " + target);
  }
  return pkgfmt::WriteTarMemberFile(tar, entry, std::move(*fd), target, mode & 0777);
}

Error ExtractTarEntry(const util::Root& root, const std::string& clean_dest, TarReader& tar,
                      const TarMember& entry) {
  if (entry.name == "." || entry.name == "./") return {};
  const std::string name = StripDotSlash(entry.name);
  auto rel = RelativeTarget(clean_dest, name);
  if (!rel) return Traversal(entry.name);
  const std::string target = util::JoinPath(clean_dest, *rel);
  switch (entry.kind) {
    case TarMember::Kind::kDirectory: {
      Error e = root.MkdirAll(*rel, entry.mode & 0777);
      if (Escaped(e)) return Traversal(entry.name);
      if (!e.ok()) return e.Wrap("mkdir " + target);
      return {};
    }
    case TarMember::Kind::kSymlink: {
      ZOL_TRY(MakeParents(root, clean_dest, *rel, entry.name));
      Error e = root.Symlink(entry.linkname, *rel);
      if (Escaped(e)) return Traversal(entry.name);
      if (!e.ok()) return e.Wrap("symlink " + target);
      return {};
    }
    case TarMember::Kind::kRegular:
      return ExtractRegular(root, tar, entry, clean_dest, *rel, entry.name, entry.mode);
    case TarMember::Kind::kHardLink: {
      // Dropping hard links would lose files of real packages; a link to a
      // name inside the tree is made there, anything else is refused.
      auto old_rel = RelativeTarget(clean_dest, StripDotSlash(entry.linkname));
      if (!old_rel) return Traversal(entry.name);
      ZOL_TRY(MakeParents(root, clean_dest, *rel, entry.name));
      Error e = root.Link(*old_rel, *rel);
      if (e.Is(EEXIST)) {
        // Like a regular file, a later entry replaces what stands at its
        // path; only the name itself goes, never what a link there names.
        auto st = root.Lstat(*rel);
        if (st.ok() && !S_ISDIR(st->st_mode) && root.Remove(*rel).ok()) e = root.Link(*old_rel, *rel);
      }
      if (Escaped(e)) return Traversal(entry.name);
      if (!e.ok()) return e.Wrap("link " + target);
      return {};
    }
    case TarMember::Kind::kOther:
      return {};
  }
  return {};
}

}  // namespace

namespace {

// One continuation line joined onto a run: trimmed, after a line feed unless
// the run is still empty.
void AppendContinuation(std::string& text, std::string_view line) {
  if (!text.empty()) text += '\n';
  text += Trim(line);
}

// The lines of a text, split at each line feed, walked one at a time. A
// control file may be as large as an ar member, and a vector holding each of
// its lines as a string would cost many times its size.
class LineCursor {
 public:
  explicit LineCursor(std::string_view text) : text_(text) { Load(0); }
  bool done() const { return done_; }
  std::string_view line() const { return line_; }
  void Advance() {
    if (next_ == std::string_view::npos) {
      done_ = true;
    } else {
      Load(next_);
    }
  }

 private:
  void Load(size_t pos) {
    const size_t nl = text_.find('\n', pos);
    line_ = nl == std::string_view::npos ? text_.substr(pos) : text_.substr(pos, nl - pos);
    next_ = nl == std::string_view::npos ? nl : nl + 1;
  }
  std::string_view text_;
  std::string_view line_;
  size_t next_ = 0;
  bool done_ = false;
};

}  // namespace

std::pair<std::string, int> parseMultilineValue(const std::vector<std::string>& lines, int start) {
  if (start < 0 || static_cast<size_t>(start) >= lines.size()) return {std::string(), start};
  std::string text;
  size_t i = static_cast<size_t>(start);
  for (; i < lines.size() && IsContinuation(lines[i]); ++i) AppendContinuation(text, lines[i]);
  return {text, static_cast<int>(i)};
}

DebControl parseControlContent(std::string_view text) {
  DebControl c;
  std::optional<std::string> key;
  std::string value;
  // Storing again what was stored last changes nothing; a run of empty
  // lines would otherwise store the same field once per line.
  bool stored = true;
  auto store = [&] {
    if (key && !stored) c.Fields[Lower(*key)] = std::string(Trim(value));
    stored = true;
  };
  for (LineCursor cur(text); !cur.done();) {
    const std::string_view line = cur.line();
    if (line.empty()) {
      store();
      cur.Advance();
      continue;
    }
    if (IsContinuation(line)) {
      if (!key) {
        cur.Advance();
        continue;
      }
      std::string more;
      for (; !cur.done() && IsContinuation(cur.line()); cur.Advance()) AppendContinuation(more, cur.line());
      if (!value.empty() && !more.empty()) value += '\n';
      value += more;
      stored = false;
      continue;
    }
    store();
    const size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      key = std::string(line.substr(0, colon));
      value = std::string(Trim(line.substr(colon + 1)));
      stored = false;
    }
    cur.Advance();
  }
  store();

  c.Package = Field(c.Fields, "package");
  c.Version = Field(c.Fields, "version");
  c.Architecture = Field(c.Fields, "architecture");
  c.Maintainer = Field(c.Fields, "maintainer");
  c.Description = Field(c.Fields, "description");
  c.Depends = Field(c.Fields, "depends");
  c.PreDepends = Field(c.Fields, "pre-depends");
  c.Section = Field(c.Fields, "section");
  c.Priority = Field(c.Fields, "priority");
  c.InstalledSize = Field(c.Fields, "installed-size");
  return c;
}

Result<DebControl> extractControl(std::string_view control_tar) {
  auto tar = pkgfmt::OpenTarInMemory(control_tar);
  if (!tar.ok()) return tar.error().Wrap("open control tar");
  TarMember entry;
  for (;;) {
    auto more = (*tar)->Next(&entry);
    if (!more.ok()) return more.error().Wrap("tar reader");
    if (!*more) return Error::Msg("control file not found in control.tar");
    const std::string name = StripDotSlash(entry.name);
    if (name == "control" || HasSuffix(name, "/control")) break;
  }
  auto text = ReadControlFile(**tar, entry);
  if (!text.ok()) return text.error().Wrap("read control");
  return parseControlContent(*text);
}

Result<DebPackage> ParseDeb(const std::string& path) {
  auto members = ParseAr(path);
  if (!members.ok()) return members.error().Wrap("parse deb ar");
  DebPackage pkg;
  for (auto& [name, member] : *members) {
    if (HasPrefix(name, "control.tar")) {
      pkg.ControlData = std::move(member.Data);
    } else if (HasPrefix(name, "data.tar")) {
      pkg.DataTar = std::move(member.Data);
    }
  }
  if (pkg.ControlData.empty()) return Error::Msg("control.tar not found in deb");
  if (pkg.DataTar.empty()) return Error::Msg("data.tar not found in deb");
  auto control = extractControl(pkg.ControlData);
  if (!control.ok()) return control.error().Wrap("extract control");
  // These values become file and directory names later on, where a NUL would
  // silently cut the name short.
  for (const auto& [label, value] : {std::pair<const char*, const std::string*>{"Package", &control->Package},
                                     {"Version", &control->Version},
                                     {"Architecture", &control->Architecture}}) {
    if (value->find('\0') != std::string::npos) {
      return Error::Msg(std::string("extract control: control field ") + label + " holds a NUL byte");
    }
  }
  pkg.Control = std::move(*control);
  return pkg;
}

Error extractDataTar(std::string_view data, const std::string& dest) {
  auto tar = pkgfmt::OpenTarInMemory(data);
  if (!tar.ok()) return tar.error().Wrap("open data tar");
  auto root = util::Root::Open(dest);
  if (!root.ok()) return root.error();
  const std::string clean_dest = util::CleanPath(dest);
  TarMember entry;
  for (;;) {
    auto more = (*tar)->Next(&entry);
    if (!more.ok()) return more.error().Wrap("tar next");
    if (!*more) return {};
    ZOL_TRY(ExtractTarEntry(*root, clean_dest, **tar, entry));
  }
}

}  // namespace builder
