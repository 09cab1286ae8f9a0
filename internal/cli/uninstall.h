// The removal of an installed application or base layer.
#pragma once

#include <string>

#include "internal/config/config.h"
#include "internal/util/error.h"

namespace cli {

util::Error UninstallApp(const config::Settings& cfg, const std::string& id);

}  // namespace cli
