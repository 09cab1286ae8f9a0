#include "internal/util/metrics.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <regex>
#include <sstream>

#include "internal/util/files.h"
#include "internal/util/tempdir.h"

namespace util {
namespace {

// What a collector reads from the text exposition format: each metric with
// its help text, type and one sample value. Lines the format does not allow
// fail the test.
struct Metric {
  std::string help, type;
  std::optional<double> value;
};

std::map<std::string, Metric> ParseExposition(const std::string& text) {
  static const std::regex kName("[a-zA-Z_:][a-zA-Z0-9_:]*");
  std::map<std::string, Metric> out;
  EXPECT_TRUE(!text.empty() && text.back() == '\n');
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    std::smatch m;
    if (std::regex_match(line, m, std::regex("# HELP (\\S+) (.*)"))) {
      EXPECT_TRUE(std::regex_match(m[1].str(), kName)) << line;
      out[m[1]].help = m[2];
    } else if (std::regex_match(line, m, std::regex("# TYPE (\\S+) (counter|gauge|histogram|summary|untyped)"))) {
      EXPECT_TRUE(out[m[1]].value == std::nullopt) << "TYPE after the sample: " << line;
      out[m[1]].type = m[2];
    } else if (line.rfind("#", 0) == 0) {
      continue;  // a plain comment
    } else if (std::regex_match(line, m, std::regex("(\\S+) (\\S+)"))) {
      EXPECT_TRUE(std::regex_match(m[1].str(), kName)) << line;
      EXPECT_FALSE(out[m[1]].type.empty()) << "sample without TYPE: " << line;
      char* end = nullptr;
      std::string v = m[2];
      double d = std::strtod(v.c_str(), &end);
      EXPECT_EQ(*end, '\0') << line;
      out[m[1]].value = d;
    } else {
      ADD_FAILURE() << "not exposition text: " << line;
    }
  }
  return out;
}

class Metrics : public ::testing::Test {
 protected:
  void SetUp() override {
    auto d = TempDir::Make("zol-metrics-test-");
    ASSERT_TRUE(d.ok());
    dir_.emplace(std::move(*d));
    path_ = dir_->path() + "/metrics.prom";
  }
  std::optional<TempDir> dir_;
  std::string path_;
};

TEST_F(Metrics, FileIsPrometheusTextWithBothGauges) {
  MetricsSetInstalled(7);
  MetricsIncRuntime();
  MetricsIncRuntime();
  MetricsDecRuntime();
  mode_t old = ::umask(022);
  Error err = WriteMetrics(path_);
  ::umask(old);
  ASSERT_TRUE(err.ok()) << err.message();
  MetricsDecRuntime();  // back to 0 for the other tests

  std::string text = *ReadFile(path_);
  auto metrics = ParseExposition(text);
  ASSERT_EQ(metrics.size(), 2u) << text;
  const Metric& installed = metrics["zol_installed_packages"];
  EXPECT_EQ(installed.help, "Current number of installed DRAV packages");
  EXPECT_EQ(installed.type, "gauge");
  EXPECT_EQ(installed.value, 7.0);
  const Metric& active = metrics["zol_runtime_active"];
  EXPECT_EQ(active.help, "Current number of active isolated runtimes");
  EXPECT_EQ(active.type, "gauge");
  EXPECT_EQ(active.value, 1.0);

  // The seven lines in their order, the last the scrape time in UTC.
  std::smatch m;
  ASSERT_TRUE(std::regex_match(
      text, m,
      std::regex("# HELP zol_installed_packages [^\n]*\n# TYPE zol_installed_packages gauge\n"
                 "zol_installed_packages 7\n# HELP zol_runtime_active [^\n]*\n"
                 "# TYPE zol_runtime_active gauge\nzol_runtime_active 1\n"
                 "# scrape_time (\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d)Z\n")))
      << text;
  struct tm tm {};
  ASSERT_NE(::strptime(m[1].str().c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr);
  EXPECT_LE(std::llabs(static_cast<long long>(::timegm(&tm) - std::time(nullptr))), 5);

  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}

TEST_F(Metrics, RewritesInPlaceAndShowsNegativeGauges) {
  ASSERT_TRUE(WriteFile(path_, std::string(4096, 'x'), 0600).ok());
  MetricsSetInstalled(0);
  MetricsDecRuntime();
  Error err = WriteMetrics(path_);
  MetricsIncRuntime();
  ASSERT_TRUE(err.ok()) << err.message();
  std::string text = *ReadFile(path_);
  EXPECT_EQ(text.find('x'), std::string::npos);  // truncated, not overlaid
  EXPECT_NE(text.find("\nzol_runtime_active -1\n"), std::string::npos) << text;
  EXPECT_EQ(ParseExposition(text)["zol_installed_packages"].value, 0.0);
}

TEST_F(Metrics, MissingDirectoryFailsAndCreatesNothing) {
  std::string p = dir_->path() + "/absent/metrics.prom";
  Error err = WriteMetrics(p);
  EXPECT_EQ(err.message(), "open " + p + ": no such file or directory");
  EXPECT_FALSE(Exists(dir_->path() + "/absent"));
}

}  // namespace
}  // namespace util
