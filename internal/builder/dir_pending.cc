// Stand-in for the directory road while the manifest model is being written.
#include "internal/builder/builder.h"

namespace builder {

util::Error BuildFromDir(const std::string&, const std::string&, const std::string&, const std::string&,
                         const std::string&, const std::string&, const std::string&, const std::string&) {
  return util::Error::Msg("building from a directory is not implemented yet");
}

}  // namespace builder

#include "internal/builder/zol_archive.h"

namespace builder {

util::Error pkgfmtCreateTarGz(const std::string&, const std::string&) {
  return util::Error::Msg("package writer is not implemented yet");
}

}  // namespace builder
