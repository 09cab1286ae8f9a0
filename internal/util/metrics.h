// Process-wide gauges and the metrics file, in the Prometheus text exposition
// format, that an outside collector reads. Nothing here reads it back.
#pragma once

#include <cstdint>
#include <string>

#include "internal/util/error.h"

namespace util {

// Stores the number of installed applications.
void MetricsSetInstalled(int64_t n);
// Counts a sandboxed or host run up and down.
void MetricsIncRuntime();
void MetricsDecRuntime();

// Rewrites the metrics file at path in place (created 0644; its directory is
// not created): the seven lines with both gauges and the scrape time in UTC.
// The error is the system's, unwrapped.
Error WriteMetrics(const std::string& path);

}  // namespace util
