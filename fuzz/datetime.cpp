// Fuzz target: ISO 8601 text. The first six bytes choose an instant and a zone
// offset, the next six the fields of a date and time, the rest is text to read.
// - any text reads as fields inside the range or fails with an input error;
// - the UTC text of the instant, its wall-clock text with the host's offset, and
//   its wall-clock text in the chosen zone (written with the C library) all read
//   back as the instant;
// - text of the chosen fields in the chosen zone reads as the instant the C
//   library makes of them, each field first held in its own range, the instant
//   then held between 1970 and the latest instant.
// The host's zone lies west of UTC and changes the clock twice a year.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "DateTime.h"
#include "TimeException.h"
#include "testing/ZonedText.h"

using namespace Brolix;

namespace {

void check(bool condition) {
    if (!condition) __builtin_trap();
}

int64_t readBack(const std::string& text) {
    try {
        return DateTime(parseDateTime(text)).value();
    } catch (const TimeException&) {
        return -1;
    }
}

int daysInMonth(int year, int month) {
    static const int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// The instant of fields written as text in a zone, by the C library.
int64_t expectedInstant(int year, int month, int day, int hour, int minute, int second, int offset) {
    month = month < 1 ? 1 : month > 12 ? 12 : month;
    day = day < 1 ? 1 : day > daysInMonth(year, month) ? daysInMonth(year, month) : day;
    hour = hour > 23 ? 23 : hour;
    minute = minute > 59 ? 59 : minute;
    second = second > 59 ? 59 : second;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    const int64_t instant = static_cast<int64_t>(timegm(&tm)) - offset * 60LL;
    return instant < 0 ? 0 : instant > DateTime::LATEST ? DateTime::LATEST : instant;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    setenv("TZ", "EST5EDT,M3.2.0,M11.1.0", 1);
    DateTime now;  // the zone and its rules are taken once, now
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 12) return 0;
    uint32_t raw = 0;
    std::memcpy(&raw, data, 4);
    const int64_t instant = raw & 0x7FFFFFFF;
    uint16_t zoneBits = 0;
    std::memcpy(&zoneBits, data + 4, 2);
    // Offsets up to 99:59 either way, as the text can write them.
    const int magnitude = (zoneBits & 0x7FFF) % 100 * 60 + (zoneBits >> 8) % 60;
    const int offset = (zoneBits & 0x8000) != 0 ? -magnitude : magnitude;
    // Years around the range (the calendar's century rule plays no part there),
    // and every two-digit month, day, hour, minute and second.
    const int year = 1950 + data[6] % 110;
    const int fields[] = {data[7] % 100, data[8] % 100, data[9] % 100, data[10] % 100, data[11] % 100};
    const std::string text(reinterpret_cast<const char*>(data) + 12, size - 12);

    try {
        const DateTimeFields fields = parseDateTime(text);
        check(fields.local == 0);
        const DateTime value(fields);
        check(value.value() >= 0);
        check(DateTime(value.fields()).value() == value.value());
    } catch (const TimeException& e) {
        check(e.code() == TimeException::TM_INPUT);
    }

    char written[64];
    std::snprintf(written, sizeof written, "%04d-%02d-%02dT%02d:%02d:%02d%c%02d:%02d", year, fields[0],
                  fields[1], fields[2], fields[3], fields[4], offset < 0 ? '-' : '+', magnitude / 60,
                  magnitude % 60);
    check(readBack(written) ==
          expectedInstant(year, fields[0], fields[1], fields[2], fields[3], fields[4], offset));

    const DateTime value(static_cast<int32_t>(instant));
    for (const bool compact : {false, true}) {
        check(readBack(value.toString(true, compact, false)) == instant);
        check(readBack(value.toString(false, compact, true)) == instant);
        check(readBack(test::zonedText(instant, offset, compact)) == instant);
    }
    return 0;
}
