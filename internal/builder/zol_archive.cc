#include "internal/builder/zol_archive.h"

#include <zlib.h>

#include <memory>

#include "internal/pkgfmt/extract.h"
#include "internal/pkgfmt/pack_tree.h"
#include "internal/pkgfmt/gzip_sink.h"
#include "internal/pkgfmt/tar_writer.h"
#include "internal/util/atomic_file.h"
#include "internal/util/beneath.h"
#include "internal/util/paths.h"
#include "internal/util/strings.h"

namespace builder {

namespace {

struct Style {
  int level;
  bool app;  // application wording and the extractor's rules
  int threads = 0;
};

util::Error WriteTree(const std::string& src, pkgfmt::TarWriter& tw, bool app) {
  pkgfmt::PackOptions options;
  options.follow_source_link = true;
  // A base layer's content failures carry no context of their own.
  if (!app) return pkgfmt::PackTree(src, &tw, options);
  options.content_context = [](std::string_view step, const std::string& path) {
    return step == "copy" ? std::string("copy file to tar") : std::string(step) + " file " + path;
  };
  ZOL_ASSIGN_OR_RETURN(util::Root root, util::Root::Open(src));
  int64_t total = 0;
  options.check = [&](const pkgfmt::TarHeader& h) -> util::Error {
    ZOL_TRY(CheckMember(h.name, h.type, h.linkname));
    // The extractor also resolves a new link through the links already
    // unpacked (a link to "." makes "l/../x" leave the package).
    if (h.type == pkgfmt::kTypeSymlink) {
      ZOL_ASSIGN_OR_RETURN(bool inside, root.StaysInside(h.name));
      if (!inside) {
        return util::Error::Msg(util::Sprintf("symlink escape rejected: %s -> %s (resolves outside package)",
                                              h.name.c_str(), h.linkname.c_str()));
      }
    }
    if (h.type == pkgfmt::kTypeReg) {
      // The extractor's limits, so install never refuses what was built.
      if (h.size > pkgfmt::kMaxExtractFileSize) return pkgfmt::ErrMemberTooLarge(h.name);
      total += h.size;
      if (total > pkgfmt::kMaxExtractTotalSize) return pkgfmt::ErrTotalTooLarge();
    }
    return {};
  };
  return pkgfmt::PackTree(src, &tw, options);
}

util::Error WriteArchive(const std::string& src, const std::string& out_path, const Style& style,
                         std::string* digest) {
  // Created 0644 before the umask like any package. The package stays the
  // build's own until the build has returned: an interrupted build leaves no
  // package behind, finished or not.
  util::AtomicFileOptions options;
  options.name_target = true;
  options.transient = true;
  auto file = util::AtomicFile::Create(out_path, 0644, options);
  if (!file.ok()) return file.error().Wrap(style.app ? "create output file" : "create output");
  pkgfmt::FdSink fd_sink(file->fd(), out_path);
  auto hash = pkgfmt::HashingSink::Make(&fd_sink);
  if (!hash.ok()) return hash.error().Wrap("create gzip writer");
  auto gz = pkgfmt::GzipSink::Make(hash->get(), style.level, style.threads);
  if (!gz.ok()) return gz.error().Wrap("create gzip writer");
  pkgfmt::TarWriter tw(gz->get());
  ZOL_TRY(WriteTree(src, tw, style.app));
  // Close failures are reported in both styles: the file is renamed into
  // place only when every layer finished.
  ZOL_TRY(tw.Close(), "close tar writer");
  ZOL_TRY((*gz)->Close(), "close gzip writer");
  auto hex = (*hash)->HexDigest();
  if (!hex.ok()) return hex.error().Wrap("hash");
  ZOL_TRY(file->Close(), "close output file");
  ZOL_TRY(file->Commit());
  if (digest != nullptr) *digest = *hex;
  return {};
}

}  // namespace

util::Error CheckMember(const std::string& name, char type, const std::string& linkname) {
  if (util::HasPrefix(name, "/")) return util::Error::Msg("absolute path rejected: " + name);
  if (name.find("..") != std::string::npos) return util::Error::Msg("path with .. rejected: " + name);
  auto escapes = [](const std::string& rel) {
    std::string c = util::CleanPath(rel);
    return c == ".." || util::HasPrefix(c, "../") || util::HasPrefix(c, "/");
  };
  if (type == pkgfmt::kTypeSymlink) {
    if (util::HasPrefix(linkname, "/")) {
      return util::Error::Msg(util::Sprintf("absolute symlink rejected: %s -> %s", name.c_str(), linkname.c_str()));
    }
    if (escapes(util::DirName(name) + "/" + linkname)) {
      return util::Error::Msg(util::Sprintf("symlink escape rejected: %s -> %s (resolves outside package)",
                                            name.c_str(), linkname.c_str()));
    }
  }
  if (type == pkgfmt::kTypeHardLink && escapes(linkname)) {
    return util::Error::Msg(util::Sprintf("hard link escape rejected: %s -> %s", name.c_str(), linkname.c_str()));
  }
  return {};
}

util::Error createZOLArchive(const std::string& src_dir, const std::string& out_path, std::string* digest,
                             int threads) {
  return WriteArchive(src_dir, out_path, Style{Z_DEFAULT_COMPRESSION, true, threads}, digest);
}

util::Error pkgfmtCreateTarGz(const std::string& src_dir, const std::string& out_path) {
  return WriteArchive(src_dir, out_path, Style{1, false}, nullptr);
}

}  // namespace builder
