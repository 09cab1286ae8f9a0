// The registry's time stamps: an instant with nanoseconds and the zone offset
// it was recorded in, written as RFC 3339 with the fraction's trailing zeros
// dropped ("2025-03-04T10:20:30.5+01:00", "Z" for a zero offset). A record
// written elsewhere keeps its own offset through a load and a save.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "internal/util/error.h"

namespace db {

struct Timestamp {
  // Seconds since 1970-01-01T00:00:00Z. The default is the zero time,
  // 0001-01-01T00:00:00Z, which a record without "installed_at" holds.
  int64_t unix_seconds = kZeroUnixSeconds;
  int32_t nanos = 0;           // 0..999999999
  int32_t offset_seconds = 0;  // east of UTC

  static constexpr int64_t kZeroUnixSeconds = -62135596800;

  // Now, in the local zone.
  static Timestamp Now();

  bool IsZero() const { return unix_seconds == kZeroUnixSeconds && nanos == 0; }
  bool operator==(const Timestamp&) const = default;
};

// RFC 3339 with nanoseconds, trailing zeros of the fraction dropped. Fails
// for a year outside 0..9999, which RFC 3339 cannot show.
util::Result<std::string> FormatTimestamp(const Timestamp& t);
// A strict RFC 3339 time stamp ("T", "Z" or ±hh:mm, fraction optional).
util::Result<Timestamp> ParseTimestamp(std::string_view text);

}  // namespace db
