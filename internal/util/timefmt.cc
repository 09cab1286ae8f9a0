#include "internal/util/timefmt.h"

#include <time.h>

#include "internal/util/strings.h"

namespace util {

namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and back; valid far
// beyond what libc's time_t conversions promise for years before 1900.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct Civil {
  int64_t year;
  unsigned month, day, hour, minute, second;
};

Civil CivilFromSeconds(int64_t secs) {
  int64_t days = secs >= 0 ? secs / 86400 : -((-secs + 86399) / 86400);
  int64_t rem = secs - days * 86400;
  int64_t z = days + 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  Civil c;
  c.day = doy - (153 * mp + 2) / 5 + 1;
  c.month = mp < 10 ? mp + 3 : mp - 9;
  c.year = static_cast<int64_t>(yoe) + era * 400 + (c.month <= 2);
  c.hour = static_cast<unsigned>(rem / 3600);
  c.minute = static_cast<unsigned>(rem % 3600 / 60);
  c.second = static_cast<unsigned>(rem % 60);
  return c;
}

bool IsLeap(int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysIn(int64_t year, unsigned month) {
  static constexpr unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

std::string Format(const Time& t, bool with_nanos) {
  Civil c = CivilFromSeconds(t.unix_seconds + t.offset_seconds);
  std::string out = Sprintf("%04lld-%02u-%02uT%02u:%02u:%02u", static_cast<long long>(c.year), c.month, c.day,
                            c.hour, c.minute, c.second);
  if (with_nanos && t.nanos != 0) {
    std::string frac = Sprintf("%09d", t.nanos);
    while (!frac.empty() && frac.back() == '0') frac.pop_back();
    out += '.';
    out += frac;
  }
  if (t.offset_seconds == 0) {
    out += 'Z';
  } else {
    int off = t.offset_seconds;
    char sign = off < 0 ? '-' : '+';
    if (off < 0) off = -off;
    out += Sprintf("%c%02d:%02d", sign, off / 3600, off % 3600 / 60);
  }
  return out;
}

Time FromTimespec(const timespec& ts, int32_t offset) {
  Time t;
  t.unix_seconds = ts.tv_sec;
  t.nanos = static_cast<int32_t>(ts.tv_nsec);
  t.offset_seconds = offset;
  return t;
}

}  // namespace

Time Now() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  struct tm local;
  time_t secs = ts.tv_sec;
  localtime_r(&secs, &local);
  return FromTimespec(ts, static_cast<int32_t>(local.tm_gmtoff));
}

Time NowUTC() {
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  return FromTimespec(ts, 0);
}

std::string FormatRFC3339(const Time& t) { return Format(t, false); }
std::string FormatRFC3339Nano(const Time& t) { return Format(t, true); }

Result<Time> ParseRFC3339(std::string_view text) {
  // Quoted only on failure: a registry of thousands of records parses
  // thousands of good stamps.
  auto fail = [&](std::string_view why) {
    return Error::Msg("parsing time " + Quote(text) + ": " + std::string(why));
  };
  size_t pos = 0;
  auto digits = [&](size_t n, unsigned* value) {
    if (pos + n > text.size()) return false;
    unsigned v = 0;
    for (size_t i = 0; i < n; ++i) {
      char ch = text[pos + i];
      if (ch < '0' || ch > '9') return false;
      v = v * 10 + static_cast<unsigned>(ch - '0');
    }
    pos += n;
    *value = v;
    return true;
  };
  auto literal = [&](char ch) {
    if (pos >= text.size() || text[pos] != ch) return false;
    ++pos;
    return true;
  };
  unsigned year, month, day, hour, minute, second;
  if (!digits(4, &year) || !literal('-') || !digits(2, &month) || !literal('-') || !digits(2, &day) ||
      !literal('T') || !digits(2, &hour) || !literal(':') || !digits(2, &minute) || !literal(':') ||
      !digits(2, &second)) {
    return fail("not in the form YYYY-MM-DDTHH:MM:SS");
  }
  if (month < 1 || month > 12) return fail("month out of range");
  if (day < 1 || day > DaysIn(year, month)) return fail("day out of range");
  if (hour > 23) return fail("hour out of range");
  if (minute > 59) return fail("minute out of range");
  if (second > 59) return fail("second out of range");
  int32_t nanos = 0;
  if (pos < text.size() && (text[pos] == '.' || text[pos] == ',')) {
    ++pos;
    size_t start = pos;
    int64_t scale = 100000000;
    while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
      if (scale > 0) {
        nanos += static_cast<int32_t>((text[pos] - '0') * scale);
        scale /= 10;
      }
      ++pos;
    }
    if (pos == start) return fail("no digits after the decimal point");
  }
  int32_t offset = 0;
  if (literal('Z')) {
    offset = 0;
  } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
    bool negative = text[pos] == '-';
    ++pos;
    unsigned oh, om;
    if (!digits(2, &oh) || !literal(':') || !digits(2, &om)) return fail("bad time zone offset");
    if (oh > 23 || om > 59) return fail("time zone offset out of range");
    offset = static_cast<int32_t>(oh * 3600 + om * 60);
    if (negative) offset = -offset;
  } else {
    return fail("missing time zone offset");
  }
  if (pos != text.size()) return fail("extra text after the time stamp");
  Time t;
  int64_t local = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second;
  t.unix_seconds = local - offset;
  t.nanos = nanos;
  t.offset_seconds = offset;
  return t;
}

std::string LocalDateTimeForDiagnostics() {
  Time t = Now();
  Civil c = CivilFromSeconds(t.unix_seconds + t.offset_seconds);
  return Sprintf("%04lld/%02u/%02u %02u:%02u:%02u", static_cast<long long>(c.year), c.month, c.day, c.hour, c.minute,
                 c.second);
}

}  // namespace util
