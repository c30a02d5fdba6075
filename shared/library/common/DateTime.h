/// DateTime is a point in time: whole seconds since 1970-01-01 00:00:00 UTC in a
/// signed 32-bit value, so the range ends at 2038-01-19 03:14:07 UTC (the latest
/// instant). A value may carry a time zone of its own (minutes east of UTC).
///
/// The host's zone comes from the runtime library and is read once per process,
/// when the first DateTime is made. Local wall-clock time is the host's, in both
/// directions and for every instant of the range: instants are shown as the host
/// shows them, and setLocalFields() finds the instant at which the host's clock
/// shows the given time. A time that a change of the clock skips is moved on by
/// the length of the gap, as the C library does; a time that a change repeats is
/// taken at its first occurrence. A summary of the current year's changes
/// (TimeZoneDef) is derived once as well. The process also keeps a sticky zone:
/// the last zone explicitly given to any DateTime, used by zoneOffset(true) and
/// by parseDateTime() for text without a zone.
///
/// Constructors and field setters never leave a negative value; span arithmetic
/// does not check the range. Text in the ISO 8601 layout is written by toString()
/// and read by parseDateTime().
#pragma once

#include <cstdint>
#include <string>

#include "TimeBase.h"
#include "TimeSpan.h"

namespace Brolix {

/// A broken-down point in time. weekday: 0 = Monday ... 6 = Sunday; local: 0 when
/// the fields are UTC, 1 when they are local wall-clock time.
struct DateTimeFields {
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t weekday = 0;
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    uint8_t local = 0;
};

/// The date half of DateTimeFields.
struct DateFields {
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    int32_t weekday = 0;
};

/// The time-of-day half of DateTimeFields.
struct TimeFields {
    int32_t hour = 0;
    int32_t minute = 0;
    int32_t second = 0;
    uint8_t local = 0;
};

/// The host zone's changes of the clock in the current year, as derived at
/// start-up: a summary for display, not used to convert (zones change their rules
/// over the years). bias: seconds of standard time east of UTC; daylightShift:
/// seconds added in daylight time. Months are 1-12, weeks 1-5 (5 = the last such
/// weekday of the month), weekdays 0 = Monday, hours are the local hours at which
/// the change happens on that day (a change at midnight is hour 0 of the day it
/// happens on). A zone without daylight time has every value 0 but the bias.
struct TimeZoneDef {
    int32_t bias = 0;
    int32_t daylightShift = 0;
    int32_t startMonth = 0;
    int32_t startWeek = 0;
    int32_t startWeekday = 0;
    int32_t startHour = 0;
    int32_t endMonth = 0;
    int32_t endWeek = 0;
    int32_t endWeekday = 0;
    int32_t endHour = 0;
};

class DateTime : public TimeBase {
public:
    /// The zone value meaning "no zone of its own".
    static constexpr int32_t NO_ZONE = 2147483647;
    /// The latest representable instant, 2038-01-19 03:14:07 UTC.
    static constexpr int32_t LATEST = 2147483647;

    /// The current time.
    DateTime();
    /// `seconds` since 1970-01-01 00:00:00 UTC; a negative value becomes 0.
    explicit DateTime(int32_t seconds);
    /// assignFields(fields).
    explicit DateTime(const DateTimeFields& fields);
    /// Copies value and zone; a copied zone becomes the sticky zone.
    DateTime(const DateTime& other);
    DateTime& operator=(const DateTime& other);
    ~DateTime() override;

    /// setLocalFields() with the record's fields (weekday ignored), taking them as
    /// UTC unless the record's local flag is set.
    void assignFields(const DateTimeFields& fields);

    /// Reads the system clock.
    void setNow();

    /// The UTC date, time of day and both together (local flag 0).
    DateFields date() const;
    TimeFields timeOfDay() const;
    DateTimeFields fields() const;
    /// The host's wall-clock fields of this instant (local flag 1).
    DateTimeFields localFields() const;

    /// Sets the value from fields: month to 1-12, day to the month, hour to
    /// 0-23, minute and second to 0-59, and the instant they make to the range
    /// (earlier instants are held at 1970-01-01T00:00:00Z, later ones at the
    /// latest instant). With a zone the fields are wall-clock time in that zone
    /// (minutes east of UTC); the zone becomes this object's own zone and the
    /// process's sticky zone.
    void setFields(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second,
                   int32_t zone = NO_ZONE);

    /// setFields() without a zone; unless `isUtc`, the fields are then taken as
    /// the host's wall-clock time and turned into UTC (see above for times that
    /// are skipped or repeated). A wall-clock time whose instant falls before the
    /// start of the range stays as it was; one after its end gives the latest
    /// instant.
    void setLocalFields(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second,
                        bool isUtc);

    /// Minutes east of UTC for this value: its own zone if set; else, when
    /// `useSticky`, the sticky zone if set; else the host's offset at this instant.
    int32_t zoneOffset(bool useSticky) const;

    /// The value's own zone, NO_ZONE when it has none.
    int32_t zone() const { return m_zone; }

    /// ISO 8601 text: UTC ("Z" at the end) or the host's wall-clock time (no zone
    /// designator unless `showZone`, which appends the offset as +hh:mm, +hhmm when
    /// compact); extended form with "-" and ":" separators, or compact.
    std::string toString(bool utc, bool compact, bool showZone) const;

    /// Span arithmetic. The result saturates at the ends of the 32-bit range; it
    /// is not otherwise checked.
    DateTime operator+(const TimeSpan& span) const;
    DateTime operator-(const TimeSpan& span) const;
    DateTime& operator+=(const TimeSpan& span);
    DateTime& operator-=(const TimeSpan& span);

    /// The summary of the host zone's changes in the current year.
    static const TimeZoneDef& zoneRules();
    /// The process-wide sticky zone, NO_ZONE while none was given.
    static int32_t stickyZone();

    /// The source of setNow(): seconds since 1970 from the system clock. Tests
    /// install their own reader; a null reader restores the system clock. Returns
    /// the reader that was installed before.
    using ClockReader = int64_t (*)();
    static ClockReader setClockReader(ClockReader reader);

private:
    int32_t m_zone;
};

/// Reads ISO 8601 text: a date (yyyy, yyyy-mm or yyyymm, yyyy-mm-dd or yyyymmdd),
/// optionally "T" and a time (hh, hh:mm, hh:mm:ss, separators optional) with an
/// optional "Z" or offset (+hh, +hh:mm, +hhmm, or "-"). Text without a zone is the
/// host's wall-clock time. A field whose text is not all digits takes the current
/// time's value. Returns UTC fields (local flag 0), clamped like setFields(). Bad
/// text throws TimeException TM_INPUT with a message naming the fault.
DateTimeFields parseDateTime(const std::string& text);

/// "yyyy-mm-dd" ("yyyymmdd" when compact).
std::string dateText(const DateFields& fields, bool compact);
std::string dateText(const DateTimeFields& fields, bool compact);
/// "hh:mm:ss" ("hhmmss" when compact), followed by "Z" for UTC fields.
std::string timeText(const TimeFields& fields, bool compact);
std::string timeText(const DateTimeFields& fields, bool compact);

/// Returns once the clock has reached the current second plus `seconds`: between
/// `seconds` - 1 and `seconds` of real time, never earlier. 0 or less returns at once.
void waitSeconds(int32_t seconds);

}  // namespace Brolix
