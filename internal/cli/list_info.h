// Listing of the installed applications and the details of one application
// or base layer, written to standard output.
#pragma once

#include <cstdint>
#include <string>

#include "internal/config/config.h"
#include "internal/util/error.h"

namespace cli {

util::Error ListApps(const config::Settings& cfg);
util::Error ShowAppInfo(const config::Settings& cfg, const std::string& id);
util::Error showBaseInfo(const std::string& id, const config::Settings& cfg);
// The sizes (lstat) of path and of everything below it, links not followed.
int64_t getDirSize(const std::string& path);

}  // namespace cli
