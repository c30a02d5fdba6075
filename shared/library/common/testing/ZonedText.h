/// ISO 8601 text written independently of the time code under test: the
/// wall-clock time of an instant in a zone, with that zone's offset, from the
/// proleptic Gregorian calendar's arithmetic alone (no system call, so the same
/// on every system and for any zone).
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace Brolix {
namespace test {

/// The wall-clock text of `seconds` in the zone `offset` minutes east of UTC,
/// extended ("1969-12-31T19:00:00-05:00") or basic ("19691231T190000-0500").
inline std::string zonedText(int64_t seconds, int offset, bool compact) {
    const int64_t wall = seconds + offset * 60LL;
    int64_t days = wall / 86400, second = wall % 86400;
    if (second < 0) {
        second += 86400;
        --days;
    }
    // Days since 1970-01-01 to year, month and day (eras of 400 years).
    const int64_t shifted = days + 719468;
    const int64_t era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    const int64_t dayOfEra = shifted - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthFromMarch = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1);
    const int month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    const int year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
    const int hour = static_cast<int>(second / 3600), minute = static_cast<int>(second / 60 % 60),
              sec = static_cast<int>(second % 60);
    const int size = offset < 0 ? -offset : offset;
    char text[64];
    std::snprintf(
        text, sizeof text,
        compact ? "%04d%02d%02dT%02d%02d%02d%c%02d%02d" : "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", year,
        month, day, hour, minute, sec, offset < 0 ? '-' : '+', size / 60, size % 60);
    return text;
}

}  // namespace test
}  // namespace Brolix
