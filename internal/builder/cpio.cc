#include "internal/builder/cpio.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <optional>
#include <set>
#include <tuple>

#include "internal/util/beneath.h"
#include "internal/util/files.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace builder {
namespace {

using pkgfmt::ByteReader;
using pkgfmt::ReadFull;
using pkgfmt::Skip;
using util::Error;
using util::Result;

constexpr size_t kHeaderSize = 110;
constexpr std::string_view kNewcMagic = "070701";
constexpr std::string_view kTrailer = "TRAILER!!!";
// Longer link texts cannot be resolved by the kernel anyway.
constexpr int64_t kSymlinkLimit = 4096;

uint64_t Pad4(uint64_t n) { return (4 - n % 4) % 4; }

Error Traversal(const std::string& name) { return Error::Msg("path traversal detected: " + name); }

// Members of one hard-link set share device and inode numbers.
using LinkKey = std::tuple<uint32_t, uint32_t, uint32_t>;

class Writer {
 public:
  Writer(util::Root root, std::string clean_dest) : root_(std::move(root)), dest_(std::move(clean_dest)) {}

  Error Member(ByteReader& in, const cpioEntry& e) {
    // Every system call would end the name at the NUL, so what is checked
    // here would not be what gets opened ("..\0/x" opens "..").
    if (e.Name.find('\0') != std::string::npos) {
      return Error::Msg("invalid cpio name " + util::Quote(e.Name) + ": NUL byte inside");
    }
    auto rel = Relative(e.Name);
    if (!rel) return Traversal(e.Name);
    const uint32_t type = e.Mode & S_IFMT;
    if (type == S_IFDIR) {
      Error err = root_.MkdirAll(*rel, 0755);
      if (err.Is(EXDEV)) return Traversal(e.Name);
      if (!err.ok()) return err.Wrap("mkdir " + Target(*rel));
      return SkipData(in, e);
    }
    if (type != S_IFREG && type != S_IFLNK && type != 0) return SkipData(in, e);  // devices, FIFOs, sockets

    const std::string parent = util::DirName(*rel);
    if (Error err = root_.MkdirAll(parent, 0755); !err.ok()) {
      if (err.Is(EXDEV)) return Traversal(e.Name);
      return err.Wrap("mkdir " + Target(parent));
    }
    if (type == S_IFLNK) return Symlink(in, e, *rel);
    return Regular(in, e, *rel);
  }

 private:
  std::optional<std::string> Relative(std::string_view name) const {
    const std::string target = util::JoinPath(dest_, name);
    if (target == dest_) return std::string();
    if (!util::HasPrefix(target, dest_ + "/")) return std::nullopt;
    return target.substr(dest_.size() + 1);
  }
  std::string Target(const std::string& rel) const { return util::JoinPath(dest_, rel); }

  Error SkipData(ByteReader& in, const cpioEntry& e) {
    ZOL_TRY(Skip(in, static_cast<uint64_t>(e.Size)), "read cpio file " + e.Name);
    return SkipPadding(in, e);
  }
  static Error SkipPadding(ByteReader& in, const cpioEntry& e) {
    ZOL_TRY(Skip(in, Pad4(static_cast<uint64_t>(e.Size))), "read cpio file padding");
    return {};
  }

  Error Symlink(ByteReader& in, const cpioEntry& e, const std::string& rel) {
    if (e.Size > kSymlinkLimit) return Error::Msg("symlink target of " + e.Name + " too long");
    std::string text(static_cast<size_t>(e.Size), '\0');
    ZOL_TRY(ReadFull(in, text.data(), text.size()), "read cpio file " + e.Name);
    ZOL_TRY(SkipPadding(in, e));
    // The kernel would cut the text at a NUL and make a different link.
    if (text.empty() || text.find('\0') != std::string::npos) {
      return Error::Msg("invalid symlink target for " + e.Name + ": " + util::Quote(text));
    }
    Error err = root_.Symlink(text, rel);
    if (err.Is(EXDEV)) return Traversal(e.Name);
    if (!err.ok()) return err.Wrap("symlink " + Target(rel));
    return {};
  }

  Error Regular(ByteReader& in, const cpioEntry& e, const std::string& rel) {
    const bool linked = e.Links > 1;
    const LinkKey key{e.DevMajor, e.DevMinor, e.Inode};
    // The bookkeeping is per path, so a stream repeating one name over and
    // over costs no more memory than the names it leaves on disk.
    if (linked) Forget(rel);
    if (linked && e.Size == 0) {
      // The data of a hard-link set comes with one of its names (usually the
      // last); the others arrive empty and must end up with it.
      if (auto it = holder_.find(key); it != holder_.end()) {
        ZOL_TRY(Relink(it->second, rel, e.Name));
        return SkipPadding(in, e);
      }
      waiting_[key].insert(rel);
      path_set_[rel] = key;
    }
    ZOL_TRY(WriteFile(in, e, rel));
    if (linked && e.Size > 0) {
      holder_[key] = rel;
      path_set_[rel] = key;
      auto it = waiting_.find(key);
      if (it != waiting_.end()) {
        for (const std::string& other : it->second) {
          path_set_.erase(other);
          ZOL_TRY(Relink(rel, other, e.Name));
        }
        waiting_.erase(it);
      }
    }
    return {};
  }

  // Drops what a name written earlier for a hard-link set stood for: it is
  // being written anew.
  void Forget(const std::string& rel) {
    auto it = path_set_.find(rel);
    if (it == path_set_.end()) return;
    const LinkKey key = it->second;
    path_set_.erase(it);
    if (auto h = holder_.find(key); h != holder_.end() && h->second == rel) holder_.erase(h);
    if (auto w = waiting_.find(key); w != waiting_.end()) {
      w->second.erase(rel);
      if (w->second.empty()) waiting_.erase(w);
    }
  }

  Error WriteFile(ByteReader& in, const cpioEntry& e, const std::string& rel) {
    const std::string target = Target(rel);
    // A link already at this path is followed only while it stays inside.
    auto fd = root_.OpenFile(rel, O_WRONLY | O_CREAT | O_TRUNC, e.Mode & 0777, util::Root::Follow::kYes);
    if (!fd.ok()) {
      if (fd.error().Is(EXDEV)) return Traversal(e.Name);
      return fd.error().Wrap("write file " + target);
    }
    char buf[65536];
    uint64_t left = static_cast<uint64_t>(e.Size);
    while (left > 0) {
      const size_t take = static_cast<size_t>(std::min<uint64_t>(left, sizeof buf));
      ZOL_TRY(ReadFull(in, buf, take), "read cpio file " + e.Name);
      ZOL_TRY(util::WriteAll(fd->get(), std::string_view(buf, take), target), "write file " + target);
      left -= take;
    }
    if (fchmod(fd->get(), e.Mode & 0777) != 0) return Error::Errno("chmod", target, errno);
    if (close(fd->Release()) != 0) return Error::Errno("close", target, errno).Wrap("write file " + target);
    return SkipPadding(in, e);
  }

  // Makes `rel` another name of `holder`, replacing the empty file there.
  Error Relink(const std::string& holder, const std::string& rel, const std::string& name) {
    if (auto st = root_.Lstat(rel); st.ok() && !S_ISDIR(st->st_mode)) {
      ZOL_TRY(root_.Remove(rel), "link " + Target(rel));
    }
    Error err = root_.Link(holder, rel);
    if (err.Is(EXDEV)) return Traversal(name);
    if (!err.ok()) return err.Wrap("link " + Target(rel));
    return {};
  }

  util::Root root_;
  std::string dest_;
  std::map<LinkKey, std::string> holder_;             // the name holding a set's data
  std::map<LinkKey, std::set<std::string>> waiting_;  // empty names awaiting it
  std::map<std::string, LinkKey> path_set_;           // the set of each of those names
};

Result<uint32_t> Field(std::string_view header, size_t off) { return hexDecode(header.substr(off, 8)); }

Error ParseHeader(std::string_view h, cpioEntry* e, uint32_t* name_size) {
  auto ns = Field(h, 94);
  if (!ns.ok()) return ns.error();
  auto size = Field(h, 54);
  if (!size.ok()) return size.error();
  auto mode = Field(h, 14);
  if (!mode.ok()) return mode.error();
  auto ino = Field(h, 6);
  if (!ino.ok()) return ino.error();
  auto links = Field(h, 38);
  if (!links.ok()) return links.error();
  auto maj = Field(h, 62);
  if (!maj.ok()) return maj.error();
  auto min = Field(h, 70);
  if (!min.ok()) return min.error();
  *name_size = *ns;
  e->Size = *size;
  e->Mode = *mode;
  e->Inode = *ino;
  e->Links = *links;
  e->DevMajor = *maj;
  e->DevMinor = *min;
  return {};
}

}  // namespace

Result<uint32_t> hexDecode(std::string_view field) {
  uint32_t v = 0;
  for (char c : field) {
    uint32_t d;
    if (c >= '0' && c <= '9') {
      d = static_cast<uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      d = static_cast<uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      d = static_cast<uint32_t>(c - 'A' + 10);
    } else {
      return Error::Msg("invalid hex char: " + std::string(1, c)).Wrap("parse hex " + util::Quote(field));
    }
    v = v << 4 | d;
  }
  return v;
}

Error extractCpio(ByteReader& in, const std::string& dest) {
  ZOL_TRY(util::MkdirAll(dest, 0755));
  auto root = util::Root::Open(dest);
  if (!root.ok()) return root.error();
  Writer writer(std::move(*root), util::CleanPath(dest));
  char header[kHeaderSize];
  for (;;) {
    bool end = false;
    ZOL_TRY(ReadFull(in, header, sizeof header, &end), "read cpio header");
    if (end) return {};
    const std::string_view h(header, sizeof header);
    if (h.substr(0, 6) != kNewcMagic) {
      if (static_cast<uint8_t>(h[0]) == 0x71 && static_cast<uint8_t>(h[1]) == 0xc7) {
        return Error::Msg("old-style cpio (SVR4) not supported yet");
      }
      std::string hex;
      for (char c : h.substr(0, 6)) hex += util::Sprintf("%02x", static_cast<uint8_t>(c));
      return Error::Msg("unknown cpio magic: " + hex);
    }
    cpioEntry e;
    uint32_t name_size = 0;
    ZOL_TRY(ParseHeader(h, &e, &name_size));
    // Names are read whole, so their size is bounded before anything is
    // allocated for them.
    if (name_size > kCpioNameLimit) {
      return Error::Msg(util::Sprintf("cpio name size %u exceeds limit of %u bytes", name_size, kCpioNameLimit));
    }
    std::string name(name_size, '\0');
    ZOL_TRY(ReadFull(in, name.data(), name.size()), "read cpio name");
    while (!name.empty() && name.back() == '\0') name.pop_back();
    ZOL_TRY(Skip(in, Pad4(kHeaderSize + name_size)), "read cpio name padding");
    if (name == kTrailer) return {};
    e.Name = std::move(name);
    ZOL_TRY(writer.Member(in, e));
  }
}

}  // namespace builder
