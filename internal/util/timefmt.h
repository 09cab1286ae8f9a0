// Time stamps in the RFC 3339 forms the system writes and reads: whole
// seconds in the local zone (log lines), whole seconds in UTC with "Z" (audit
// records), and nanoseconds with trailing zeros dropped and the stamp's own
// offset kept (the registry's "installed_at").
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace util {

// An instant with the UTC offset it is shown in. The default value is the
// zero time, 0001-01-01T00:00:00Z, which a record without a time stamp holds.
struct Time {
  static constexpr int64_t kZeroUnixSeconds = -62135596800;  // 0001-01-01T00:00:00Z

  int64_t unix_seconds = kZeroUnixSeconds;  // seconds since 1970-01-01T00:00:00Z
  int32_t nanos = 0;                        // 0..999999999
  int32_t offset_seconds = 0;               // east of UTC

  // Same instant and same offset.
  bool operator==(const Time&) const = default;
};

// Now, in the local zone (its current offset) or in UTC.
Time Now();
Time NowUTC();

// "2025-03-04T10:20:30+01:00"; "Z" for a zero offset; the fraction dropped.
std::string FormatRFC3339(const Time& t);
// As FormatRFC3339 with the nanoseconds after a dot, trailing zeros dropped
// and no dot at all when they are zero: "2025-03-04T10:20:30.5+01:00".
std::string FormatRFC3339Nano(const Time& t);

// Reads "YYYY-MM-DDTHH:MM:SS[.fraction](Z|+hh:mm|-hh:mm)" with the ranges of
// the calendar checked; a fraction beyond nine digits is truncated. The
// offset is kept as written.
Result<Time> ParseRFC3339(std::string_view text);

// The local date and time as "YYYY/MM/DD HH:MM:SS", for last-resort
// diagnostics when a log line itself could not be written.
std::string LocalDateTimeForDiagnostics();

}  // namespace util
