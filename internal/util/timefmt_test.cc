#include "internal/util/timefmt.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

namespace util {
namespace {

Time At(int64_t secs, int32_t nanos, int32_t offset) {
  Time t;
  t.unix_seconds = secs;
  t.nanos = nanos;
  t.offset_seconds = offset;
  return t;
}

TEST(TimeFormat, RFC3339Forms) {
  // 2025-03-04T09:20:30Z
  const int64_t s = 1741080030;
  struct Case {
    Time t;
    std::string whole, nano;
  };
  const Case cases[] = {
      {At(s, 0, 0), "2025-03-04T09:20:30Z", "2025-03-04T09:20:30Z"},
      {At(s, 500000000, 3600), "2025-03-04T10:20:30+01:00", "2025-03-04T10:20:30.5+01:00"},
      {At(s, 123456789, -19800), "2025-03-04T03:50:30-05:30", "2025-03-04T03:50:30.123456789-05:30"},
      {At(s, 1000, 0), "2025-03-04T09:20:30Z", "2025-03-04T09:20:30.000001Z"},
      {At(-1, 0, 0), "1969-12-31T23:59:59Z", "1969-12-31T23:59:59Z"},
      {At(951782400, 0, 0), "2000-02-29T00:00:00Z", "2000-02-29T00:00:00Z"},
      {Time{}, "0001-01-01T00:00:00Z", "0001-01-01T00:00:00Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FormatRFC3339(c.t), c.whole);
    EXPECT_EQ(FormatRFC3339Nano(c.t), c.nano);
    auto back = ParseRFC3339(c.nano);
    ASSERT_TRUE(back.ok()) << back.error().message();
    EXPECT_EQ(*back, c.t) << c.nano;
  }
}

TEST(TimeParse, AcceptsVariantsAndRejectsBadStamps) {
  auto t = ParseRFC3339("2025-03-04T10:20:30,25+01:00");
  ASSERT_TRUE(t.ok());
  EXPECT_EQ(t->nanos, 250000000);
  EXPECT_EQ(t->unix_seconds, 1741080030);
  auto long_fraction = ParseRFC3339("2025-03-04T09:20:30.1234567891Z");
  ASSERT_TRUE(long_fraction.ok());
  EXPECT_EQ(long_fraction->nanos, 123456789);

  for (const char* bad : {"", "2025-03-04", "2025-03-04 09:20:30Z", "2025-13-04T09:20:30Z", "2025-02-29T09:20:30Z",
                          "2025-03-04T24:00:00Z", "2025-03-04T09:60:00Z", "2025-03-04T09:20:60Z",
                          "2025-03-04T09:20:30", "2025-03-04T09:20:30z", "2025-03-04T09:20:30+0100",
                          "2025-03-04T09:20:30+24:00", "2025-03-04T09:20:30.Z", "2025-03-04T09:20:30Zjunk",
                          "\"2025-03-04T09:20:30Z\""}) {
    auto r = ParseRFC3339(bad);
    EXPECT_FALSE(r.ok()) << bad;
    if (!r.ok()) {
      EXPECT_EQ(r.error().message().rfind("parsing time ", 0), 0u) << r.error().message();
    }
  }
}

TEST(TimeNow, LocalOffsetFollowsTheZone) {
  const char* old = std::getenv("TZ");
  std::string saved = old != nullptr ? old : "";
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_TRUE(std::regex_match(FormatRFC3339(Now()), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));
  setenv("TZ", "IST-5:30", 1);  // POSIX form: no zone database needed
  tzset();
  EXPECT_TRUE(std::regex_match(FormatRFC3339(Now()), std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+05:30)")))
      << FormatRFC3339(Now());
  EXPECT_EQ(NowUTC().offset_seconds, 0);
  if (old != nullptr) {
    setenv("TZ", saved.c_str(), 1);
  } else {
    unsetenv("TZ");
  }
  tzset();
}

}  // namespace
}  // namespace util
