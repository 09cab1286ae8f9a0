#include "internal/pkgfmt/tar_writer.h"

#include <grp.h>
#include <pwd.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <vector>

#include "internal/util/strings.h"

namespace pkgfmt {

using util::Error;
using util::Result;

// ---- headers from the file system ----

namespace {

// Owner names are looked up once per id: a tree of thousands of files has a
// handful of owners.
std::string LookupName(bool group, int64_t id) {
  static std::mutex mu;
  static std::map<std::pair<bool, int64_t>, std::string> cache;
  std::lock_guard<std::mutex> lock(mu);
  auto it = cache.find({group, id});
  if (it != cache.end()) return it->second;
  std::string name;
  std::vector<char> buf(16384);
  if (group) {
    struct group g, *res = nullptr;
    if (getgrgid_r(static_cast<gid_t>(id), &g, buf.data(), buf.size(), &res) == 0 && res) name = res->gr_name;
  } else {
    struct passwd p, *res = nullptr;
    if (getpwuid_r(static_cast<uid_t>(id), &p, buf.data(), buf.size(), &res) == 0 && res) name = res->pw_name;
  }
  cache[{group, id}] = name;
  return name;
}

}  // namespace

Result<TarHeader> HeaderFromStat(const struct stat& st, std::string name, std::string linkname) {
  TarHeader h;
  h.name = std::move(name);
  switch (st.st_mode & S_IFMT) {
    case S_IFREG: h.type = kTypeReg; h.size = st.st_size; break;
    case S_IFDIR: h.type = kTypeDir; break;
    case S_IFLNK: h.type = kTypeSymlink; h.linkname = std::move(linkname); break;
    case S_IFCHR: h.type = kTypeChar; break;
    case S_IFBLK: h.type = kTypeBlock; break;
    case S_IFIFO: h.type = kTypeFifo; break;
    case S_IFSOCK: return Error::Msg("sockets not supported");
    default: return Error::Msg(util::Sprintf("unknown file mode %o", st.st_mode));
  }
  h.mode = st.st_mode & 07777;
  h.uid = st.st_uid;
  h.gid = st.st_gid;
  h.uname = LookupName(false, st.st_uid);
  h.gname = LookupName(true, st.st_gid);
  h.mtime = st.st_mtim.tv_sec + (st.st_mtim.tv_nsec >= 500000000 ? 1 : 0);
  if (h.type == kTypeChar || h.type == kTypeBlock) {
    h.devmajor = major(st.st_rdev);
    h.devminor = minor(st.st_rdev);
  }
  return h;
}

// ---- tar ----

namespace {

constexpr size_t kBlock = 512;
constexpr size_t kNameSize = 100, kPrefixSize = 155, kOwnerSize = 32;

bool IsAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80 || c == 0) return false;
  }
  return true;
}

std::string ToAscii(std::string_view s) {
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x80 && c != 0) out += static_cast<char>(c);
  }
  return out;
}

// Whether x fits the octal digits of a field of `size` bytes (one byte is
// kept for the terminating NUL).
bool FitsOctal(size_t size, int64_t x) {
  if (x < 0) return false;
  unsigned bits = static_cast<unsigned>(size - 1) * 3;
  return bits >= 63 || static_cast<uint64_t>(x) < (uint64_t{1} << bits);
}

void PutString(char* field, size_t size, std::string_view s) {
  if (s.empty()) return;
  std::memcpy(field, s.data(), s.size() < size ? s.size() : size);
}

// Digits padded with zeros to size-1, then NUL; a value that does not fit
// is written as 0 (its real value travels in a PAX record).
void PutOctal(char* field, size_t size, int64_t x) {
  if (!FitsOctal(size, x)) x = 0;
  std::string digits = util::Sprintf("%llo", static_cast<unsigned long long>(x));
  if (digits.size() < size - 1) digits.insert(0, size - 1 - digits.size(), '0');
  PutString(field, size, digits);
}

void SetChecksum(char* blk) {
  std::memset(blk + 148, ' ', 8);
  unsigned sum = 0;
  for (size_t i = 0; i < kBlock; ++i) sum += static_cast<unsigned char>(blk[i]);
  // Six digits, NUL, blank: the field was summed as eight blanks.
  PutOctal(blk + 148, 7, sum);
  blk[154] = '\0';
  blk[155] = ' ';
}

void SetUstarMagic(char* blk) {
  std::memcpy(blk + 257, "ustar\0" "00", 8);
}

// The split of a long ASCII name at a "/" into a 155-byte prefix and a
// 100-byte name; false when there is none.
bool SplitUstarPath(std::string_view name, std::string_view& prefix, std::string_view& suffix) {
  size_t length = name.size();
  if (length <= kNameSize || !IsAscii(name)) return false;
  if (length > kPrefixSize + 1) {
    length = kPrefixSize + 1;
  } else if (name[length - 1] == '/') {
    --length;
  }
  size_t i = name.substr(0, length).rfind('/');
  if (i == std::string_view::npos || i == 0) return false;
  size_t nlen = name.size() - i - 1;
  if (nlen > kNameSize || nlen == 0 || i > kPrefixSize) return false;
  prefix = name.substr(0, i);
  suffix = name.substr(i + 1);
  return true;
}

std::string PaxRecord(const std::string& key, const std::string& value) {
  size_t size = key.size() + value.size() + 3;  // ' ', '=', '\n'
  size += std::to_string(size).size();
  std::string rec = std::to_string(size) + " " + key + "=" + value + "\n";
  if (rec.size() != size) rec = std::to_string(rec.size()) + " " + key + "=" + value + "\n";
  return rec;
}

}  // namespace

Error TarWriter::Fail(Error e) {
  if (failed_.ok()) failed_ = e;
  return e;
}

Error TarWriter::FinishEntry() {
  if (remaining_ > 0) {
    return Fail(Error::Msg(util::Sprintf("tar: missed writing %lld bytes", static_cast<long long>(remaining_))));
  }
  size_t pad = static_cast<size_t>(written_in_entry_ % kBlock);
  written_in_entry_ = 0;
  if (pad != 0) {
    char zeros[kBlock] = {};
    Error e = out_->Write(zeros, kBlock - pad);
    if (!e.ok()) return Fail(e);
  }
  return Error();
}

Error TarWriter::WriteHeader(const TarHeader& h) {
  if (!failed_.ok()) return failed_;
  if (closed_) return Fail(Error::Msg("tar: write after close"));
  ZOL_TRY(FinishEntry());
  if (h.name.find('\0') != std::string::npos || h.linkname.find('\0') != std::string::npos) {
    return Fail(Error::Msg("tar: name holds a NUL byte"));
  }
  const int64_t size = h.type == kTypeReg ? h.size : 0;
  if (size < 0) return Fail(Error::Msg("tar: negative size"));
  if (!FitsOctal(8, h.devmajor) || !FitsOctal(8, h.devminor)) {
    return Fail(Error::Msg("tar: device number too large"));
  }

  // Records for every field ustar cannot hold; ustar is written whenever
  // all fields fit, and then none of them is used.
  std::map<std::string, std::string> pax;
  bool ustar = true;
  std::string_view prefix, suffix = h.name;
  if (!IsAscii(h.name) || h.name.size() > kNameSize) {
    pax["path"] = h.name;
    if (!SplitUstarPath(h.name, prefix, suffix)) ustar = false;
  }
  auto check_string = [&](const std::string& s, size_t field, const char* key) {
    if (!IsAscii(s) || s.size() > field) {
      pax[key] = s;
      ustar = false;
    }
  };
  check_string(h.linkname, kNameSize, "linkpath");
  check_string(h.uname, kOwnerSize, "uname");
  check_string(h.gname, kOwnerSize, "gname");
  auto check_number = [&](int64_t x, size_t field, const char* key) {
    if (!FitsOctal(field, x)) {
      pax[key] = std::to_string(x);
      ustar = false;
    }
  };
  check_number(h.uid, 8, "uid");
  check_number(h.gid, 8, "gid");
  check_number(size, 12, "size");
  check_number(h.mtime, 12, "mtime");

  if (!ustar) {
    std::string data;
    for (const auto& [k, v] : pax) data += PaxRecord(k, v);
    // The extended header's own name only helps readers that do not know
    // PAX; it is dir/PaxHeaders.0/base of the member, ASCII, at most 100.
    std::string dir, base = h.name;
    if (size_t slash = h.name.rfind('/'); slash != std::string::npos) {
      dir = h.name.substr(0, slash + 1);
      base = h.name.substr(slash + 1);
    }
    std::string xname = ToAscii(dir + "PaxHeaders.0/" + base);
    if (xname.size() > kNameSize) xname.resize(kNameSize);
    while (!xname.empty() && xname.back() == '/') xname.pop_back();
    char blk[kBlock] = {};
    PutString(blk, kNameSize, xname);
    PutOctal(blk + 100, 8, 0);
    PutOctal(blk + 108, 8, 0);
    PutOctal(blk + 116, 8, 0);
    PutOctal(blk + 124, 12, static_cast<int64_t>(data.size()));
    PutOctal(blk + 136, 12, 0);
    blk[156] = 'x';
    SetUstarMagic(blk);
    SetChecksum(blk);
    Error e = out_->Write(blk, kBlock);
    if (e.ok()) e = out_->Write(data.data(), data.size());
    if (e.ok() && data.size() % kBlock != 0) {
      char zeros[kBlock] = {};
      e = out_->Write(zeros, kBlock - data.size() % kBlock);
    }
    if (!e.ok()) return Fail(e);
    prefix = {};
  }

  char blk[kBlock] = {};
  if (ustar) {
    PutString(blk, kNameSize, suffix);
    PutString(blk + 345, kPrefixSize, prefix);
    PutString(blk + 157, kNameSize, h.linkname);
    PutString(blk + 265, kOwnerSize, h.uname);
    PutString(blk + 297, kOwnerSize, h.gname);
  } else {
    PutString(blk, kNameSize, ToAscii(h.name));
    PutString(blk + 157, kNameSize, ToAscii(h.linkname));
    PutString(blk + 265, kOwnerSize, ToAscii(h.uname));
    PutString(blk + 297, kOwnerSize, ToAscii(h.gname));
  }
  PutOctal(blk + 100, 8, h.mode);
  PutOctal(blk + 108, 8, h.uid);
  PutOctal(blk + 116, 8, h.gid);
  PutOctal(blk + 124, 12, size);
  PutOctal(blk + 136, 12, h.mtime);
  blk[156] = h.type;
  SetUstarMagic(blk);
  PutOctal(blk + 329, 8, h.devmajor);
  PutOctal(blk + 337, 8, h.devminor);
  SetChecksum(blk);
  Error e = out_->Write(blk, kBlock);
  if (!e.ok()) return Fail(e);
  remaining_ = size;
  return Error();
}

Error TarWriter::WriteData(const void* data, size_t n) {
  if (!failed_.ok()) return failed_;
  if (closed_) return Fail(Error::Msg("tar: write after close"));
  if (static_cast<uint64_t>(n) > static_cast<uint64_t>(remaining_)) {
    return Fail(Error::Msg("tar: write too long"));
  }
  Error e = out_->Write(data, n);
  if (!e.ok()) return Fail(e);
  remaining_ -= static_cast<int64_t>(n);
  written_in_entry_ += static_cast<int64_t>(n);
  return Error();
}

Error TarWriter::Close() {
  if (!failed_.ok()) return failed_;
  if (closed_) return Error();
  ZOL_TRY(FinishEntry());
  closed_ = true;
  char zeros[2 * kBlock] = {};
  Error e = out_->Write(zeros, sizeof zeros);
  if (!e.ok()) return Fail(e);
  return Error();
}

}  // namespace pkgfmt
