/// ISO 8601 text written by the C library, independently of the time code under
/// test: the wall-clock time of an instant in a zone, with that zone's offset.
#pragma once

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>

namespace Brolix {
namespace test {

/// The wall-clock text of `seconds` in the zone `offset` minutes east of UTC,
/// extended ("1969-12-31T19:00:00-05:00") or basic ("19691231T190000-0500").
inline std::string zonedText(int64_t seconds, int offset, bool compact) {
    const time_t wall = static_cast<time_t>(seconds + offset * 60LL);
    std::tm tm{};
    gmtime_r(&wall, &tm);
    const int size = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(text, sizeof text,
                  compact ? "%04d%02d%02dT%02d%02d%02d%c%02d%02d" : "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d",
                  tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  offset < 0 ? '-' : '+', size / 60, size % 60);
    return text;
}

}  // namespace test
}  // namespace Brolix
