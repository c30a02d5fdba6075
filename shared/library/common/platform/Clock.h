/// The system clock and the host's time-zone rules, as the runtime library
/// provides them. Instants are seconds since 1970-01-01 00:00:00 UTC in a wide
/// integer; the time classes keep their own 32-bit range on top of this.
#pragma once

#include <cstdint>
#include <ctime>

namespace Brolix {
namespace platform {

/// Loads the host's time-zone settings into the runtime (the TZ variable or the
/// system default). The broken-down conversions below use what was loaded.
void initTimeZone();

/// The current time from the system clock.
int64_t currentTime();

/// Broken-down local wall-clock time of `seconds`; false when the host cannot
/// represent it (`fields` is then unspecified).
bool localTime(int64_t seconds, std::tm& fields);

/// Broken-down UTC time of `seconds`; false when the host cannot represent it.
bool utcTime(int64_t seconds, std::tm& fields);

/// The instant of the local wall-clock time in `fields`, whose tm_isdst is
/// honoured as the C library does (negative: let the host decide). The fields
/// are normalised in place. -1 when the time cannot be represented.
int64_t makeLocalTime(std::tm& fields);

}  // namespace platform
}  // namespace Brolix
