#include "internal/util/metrics.h"

#include <atomic>

#include "internal/util/files.h"
#include "internal/util/strings.h"
#include "internal/util/timefmt.h"

namespace util {

namespace {

std::atomic<int64_t> installed_packages{0};
std::atomic<int64_t> active_runtimes{0};

}  // namespace

void MetricsSetInstalled(int64_t n) { installed_packages.store(n); }
void MetricsIncRuntime() { active_runtimes.fetch_add(1); }
void MetricsDecRuntime() { active_runtimes.fetch_sub(1); }

Error WriteMetrics(const std::string& path) {
  long long installed = installed_packages.load();
  long long active = active_runtimes.load();
  std::string text = Sprintf(
      "# HELP zol_installed_packages Current number of installed DRAV packages\n"
      "# TYPE zol_installed_packages gauge\n"
      "zol_installed_packages %lld\n"
      "# HELP zol_runtime_active Current number of active isolated runtimes\n"
      "# TYPE zol_runtime_active gauge\n"
      "zol_runtime_active %lld\n"
      "# scrape_time %s\n",
      installed, active, FormatRFC3339(NowUTC()).c_str());
  return WriteFile(path, text, 0644);
}

}  // namespace util
