#include "DateTime.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <ctime>
#include <limits>

#include "StringUtils.h"
#include "TimeException.h"
#include "Timer.h"
#include "platform/Clock.h"

namespace Brolix {

namespace {

const int64_t kLatest = DateTime::LATEST;

// The sticky zone is written by any DateTime given a zone, possibly from
// several threads; an atomic keeps those writes whole.
std::atomic<int32_t> g_stickyZone{DateTime::NO_ZONE};

int64_t systemClock() { return platform::currentTime(); }
std::atomic<DateTime::ClockReader> g_clockReader{&systemClock};

int64_t clampToRange(int64_t seconds) {
    if (seconds < 0) return 0;
    if (seconds > kLatest) return kLatest;
    return seconds;
}

int64_t saturate32(int64_t seconds) {
    if (seconds < std::numeric_limits<int32_t>::min()) return std::numeric_limits<int32_t>::min();
    if (seconds > kLatest) return kLatest;
    return seconds;
}

int64_t floorDiv(int64_t a, int64_t b) { return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0); }

// The whole range lies between two century years that are not leap years, so
// every fourth year counted from 1968 is a leap year.
bool isLeapYear(int64_t year) { return (year - 1968) % 4 == 0; }

int32_t daysInMonth(int32_t month, int64_t year) {
    switch (month) {
        case 2: return isLeapYear(year) ? 29 : 28;
        case 4:
        case 6:
        case 9:
        case 11: return 30;
        default: return 31;
    }
}

// Days from 1970-01-01 to the first day of `month` (1-12) of `year`.
int64_t daysBefore(int64_t year, int32_t month) {
    int64_t days = 365 * (year - 1970) + floorDiv(year - 1969, 4);
    for (int32_t m = 1; m < month && m <= 12; ++m) days += daysInMonth(m, year);
    return days;
}

// Seconds since 1970 of UTC fields. Minute and second are not limited, so a
// minute moved by a zone offset may be negative or above 59.
int64_t fieldsToSeconds(int64_t year, int32_t month, int64_t day, int64_t hour, int64_t minute, int64_t second) {
    return (((daysBefore(year, month) + day - 1) * 24 + hour) * 60 + minute) * 60 + second;
}

int64_t fieldsToSeconds(const std::tm& tm) {
    return fieldsToSeconds(tm.tm_year + 1900LL, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
}

// Monday = 0 from the runtime's Sunday = 0.
int32_t mondayBased(int weekday) { return (weekday + 6) % 7; }

DateTimeFields utcFieldsOf(int64_t seconds) {
    std::tm tm{};
    if (!platform::utcTime(seconds, tm)) BROLIX_THROW(TimeException, TimeException::TM_DATETIME, "");
    DateTimeFields f;
    f.year = tm.tm_year + 1900;
    f.month = tm.tm_mon + 1;
    f.day = tm.tm_mday;
    f.weekday = mondayBased(tm.tm_wday);
    f.hour = tm.tm_hour;
    f.minute = tm.tm_min;
    f.second = tm.tm_sec;
    f.local = 0;
    return f;
}

// Seconds east of UTC of the host's wall clock at `seconds`; false when the host
// cannot tell. Instants are asked for within the 32-bit range, which is what every
// host serves.
bool hostOffsetSeconds(int64_t seconds, int64_t& offset) {
    seconds = clampToRange(seconds);
    std::tm tm{};
    if (!platform::localTime(seconds, tm)) return false;
    offset = fieldsToSeconds(tm) - seconds;
    return true;
}

// Minutes east of UTC of the host's wall clock at `seconds` (0 when the host cannot
// tell); an offset with seconds, as some zones had early on, loses them.
int32_t hostOffsetMinutes(int64_t seconds) {
    int64_t offset = 0;
    return hostOffsetSeconds(seconds, offset) ? static_cast<int32_t>(offset / 60) : 0;
}

// The instant at which the host's wall clock shows `wall` (wall-clock fields
// counted as if they were UTC). Offsets lie within a day of UTC, so the offsets a
// day before and a day after are those in force on either side of any change of
// the clock near that time, and one of them is the offset at the instant sought.
// A wall-clock time that a change of the clock skips is moved on by the length
// of the gap (the offset before the change applies), as the C library does; one
// that a change repeats is taken at its first occurrence (the C library's choice
// there depends on what it converted before).
int64_t wallClockInstant(int64_t wall) {
    const int64_t day = 86400;
    int64_t before = 0, after = 0;
    if (!hostOffsetSeconds(wall - day, before)) return wall;
    if (!hostOffsetSeconds(wall + day, after)) after = before;
    bool found = false;
    int64_t instant = wall - before;
    for (const int64_t offset : {before, after}) {
        const int64_t candidate = wall - offset;
        int64_t actual = 0;
        if (hostOffsetSeconds(candidate, actual) && actual == offset && (!found || candidate < instant)) {
            instant = candidate;
            found = true;
        }
    }
    return instant;
}

// Week of the month of a change on `day`: 1-4, where the fourth is taken as the
// last such weekday (5).
int32_t weekOfChange(int day) {
    const int32_t week = (day - 1) / 7 + 1;
    return week == 4 ? 5 : week;
}

// Records when a change of the clock happens: `hour` of the local day of
// `previous`. A change at 24:00 is recorded as 00:00 of the next day, the day it
// happens on, so that a change on the last Friday of a month is not mistaken for
// one after the last Thursday.
void recordChange(const std::tm& previous, int hour, int32_t& month, int32_t& week, int32_t& weekday,
                  int32_t& changeHour) {
    int64_t year = previous.tm_year + 1900LL;
    int32_t monthOfChange = previous.tm_mon + 1;
    int32_t day = previous.tm_mday;
    int32_t dayOfWeek = mondayBased(previous.tm_wday);
    if (hour == 24) {
        const DateTimeFields next = utcFieldsOf(fieldsToSeconds(year, monthOfChange, day, 0, 0, 0) + 86400);
        year = next.year;
        monthOfChange = next.month;
        day = next.day;
        dayOfWeek = next.weekday;
        hour = 0;
    }
    month = monthOfChange;
    week = weekOfChange(day);
    weekday = dayOfWeek;
    changeHour = hour;
}

// Derives the rules by watching the host's wall clock through the current year,
// hour by hour: a local hour that does not follow its predecessor is a change of
// the clock. After a change the scan jumps ahead 90 days; it ends after the first
// change found in October or later.
TimeZoneDef deriveRules() {
    TimeZoneDef r;
    const int64_t now = platform::currentTime();
    std::tm nowLocal{};
    if (!platform::localTime(now, nowLocal)) return r;

    std::tm first = nowLocal;
    first.tm_mon = 0;
    first.tm_mday = 1;
    first.tm_hour = first.tm_min = first.tm_sec = 0;
    first.tm_isdst = -1;
    std::tm last = nowLocal;
    last.tm_mon = 11;
    last.tm_mday = 31;
    last.tm_hour = 23;
    last.tm_min = last.tm_sec = 0;
    last.tm_isdst = -1;
    const int64_t begin = platform::makeLocalTime(first);
    const int64_t end = platform::makeLocalTime(last);

    std::tm previous{};
    if (!platform::localTime(begin, previous)) return r;
    for (int64_t t = begin + 3600; t < end; t += 3600) {
        std::tm current{};
        if (!platform::localTime(t, current)) break;
        const int p = previous.tm_hour;
        const int n = current.tm_hour;
        const int d = p - n;
        if ((p >= n && d < 5) || n - p >= 20) {
            // The clock went back: daylight time ends.
            r.daylightShift = (n - p < 20 ? d + 1 : d + 25) * 3600;
            recordChange(previous, p + 1, r.endMonth, r.endWeek, r.endWeekday, r.endHour);
        } else if (n == p + 1 || (p == 23 && n == 0)) {
            // The hour advanced normally. Anything else is a jump forward, also
            // one across midnight (23 to 1 where the clock changes at 24:00).
            previous = current;
            continue;
        } else {
            // The clock went forward: daylight time starts.
            r.daylightShift = (d < 19 ? n - p + 23 - 24 : n - p + 23) * 3600;
            recordChange(previous, p + 1, r.startMonth, r.startWeek, r.startWeekday, r.startHour);
        }
        if (previous.tm_mon > 8) break;
        previous = current;
        t += 7776000;
    }

    // The bias is the offset in the month before daylight time starts, which is
    // standard time wherever the clock changes; without changes any month will do.
    std::tm utc{};
    if (!platform::utcTime(now - now % 3600, utc)) return r;
    int32_t month = utc.tm_mon + 1;
    if (r.startMonth != 0) month = r.startMonth == 1 ? 12 : r.startMonth - 1;
    const int64_t year = utc.tm_year + 1900;
    const int32_t day = std::min(utc.tm_mday, daysInMonth(month, year));
    const int64_t x = fieldsToSeconds(year, month, day, utc.tm_hour, 0, 0);
    std::tm local{};
    if (platform::localTime(x, local)) r.bias = static_cast<int32_t>(fieldsToSeconds(local) - x);
    return r;
}

// The process-wide zone state: the runtime loads the host's zone and the rules
// are derived, once, on first use (the first DateTime made).
const TimeZoneDef& zoneState() {
    static const TimeZoneDef rules = [] {
        platform::initTimeZone();
        return deriveRules();
    }();
    return rules;
}

/// Appends `value` with a leading "0" when it is below 10. Every log line's time
/// stamp is made of these, so the usual two-digit values skip the conversion.
void appendTwoDigits(std::string& text, int32_t value) {
    if (value >= 0 && value < 100) {
        text += static_cast<char>('0' + value / 10);
        text += static_cast<char>('0' + value % 10);
        return;
    }
    if (value < 10) text += '0';
    text += intToString(value);
}

[[noreturn]] void inputError(const char* message, int line) {
    throw TimeException(TimeException::TM_INPUT, message, __FILE__, line);
}
#define BROLIX_INPUT_ERROR(message) inputError((message), __LINE__)

// A field's number, or the current time's value when its text is not all digits.
int32_t fieldValue(const std::string& text, int32_t current) {
    return isDigits(text) ? std::atoi(text.c_str()) : current;
}

// The number written by the leading digits of `text`, 0 when it starts otherwise.
int32_t leadingNumber(const std::string& text) {
    int32_t number = 0;
    for (size_t i = 0; i < text.size() && isDigits(text, static_cast<int32_t>(i)); ++i) {
        number = number * 10 + (text[i] - '0');
    }
    return number;
}

}  // namespace

DateTime::DateTime() : TimeBase(0), m_zone(NO_ZONE) {
    zoneState();
    setNow();
}

DateTime::DateTime(int32_t seconds) : TimeBase(seconds < 0 ? 0 : seconds), m_zone(NO_ZONE) { zoneState(); }

DateTime::DateTime(const DateTimeFields& fields) : TimeBase(0), m_zone(NO_ZONE) {
    zoneState();
    assignFields(fields);
}

DateTime::DateTime(const DateTime& other) : TimeBase(other.m_value), m_zone(other.m_zone) {
    zoneState();
    if (m_zone != NO_ZONE) g_stickyZone = m_zone;
}

DateTime& DateTime::operator=(const DateTime& other) {
    m_value = other.m_value;
    m_zone = other.m_zone;
    if (m_zone != NO_ZONE) g_stickyZone = m_zone;
    return *this;
}

DateTime::~DateTime() = default;

void DateTime::assignFields(const DateTimeFields& f) {
    setLocalFields(f.year, f.month, f.day, f.hour, f.minute, f.second, f.local == 0);
}

void DateTime::setNow() {
    auto read = [] { return static_cast<int32_t>(clampToRange(g_clockReader.load()())); };
    int32_t now = read();
    // The latest instant is also what a failing clock may report: ask once more.
    if (now == LATEST) now = read();
    m_value = now;
}

DateFields DateTime::date() const {
    const DateTimeFields f = fields();
    DateFields d;
    d.year = f.year;
    d.month = f.month;
    d.day = f.day;
    d.weekday = f.weekday;
    return d;
}

TimeFields DateTime::timeOfDay() const {
    const DateTimeFields f = fields();
    TimeFields t;
    t.hour = f.hour;
    t.minute = f.minute;
    t.second = f.second;
    t.local = 0;
    return t;
}

DateTimeFields DateTime::fields() const { return utcFieldsOf(m_value); }

DateTimeFields DateTime::localFields() const {
    // Every log line shows its time as local time, and lines come many to the
    // second: each thread keeps the fields of the last second it asked for. (The
    // host's zone is read once per process.)
    thread_local int64_t cachedValue = -1;
    thread_local DateTimeFields cached;
    if (m_value == cachedValue) return cached;
    // Computed beyond the 32-bit range, so that early and late instants show
    // their true wall-clock time rather than a wrapped or clamped one.
    int64_t offset = 0;
    hostOffsetSeconds(m_value, offset);
    DateTimeFields f = utcFieldsOf(static_cast<int64_t>(m_value) + offset);
    f.local = 1;
    cached = f;
    cachedValue = m_value;
    return f;
}

void DateTime::setFields(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second,
                         int32_t zone) {
    // Each field is held within its own range; the instant they make, moved by
    // the zone, is then held within the range of values as a whole. Clamping
    // the year first would move fields that lie outside the range in one zone
    // but inside it in UTC (1969-12-31T19:00:00-05:00 is 1970-01-01T00:00:00Z),
    // and lowering later fields one by one would turn a later date into an
    // earlier one (2039-06-15 into 2038-01-15).
    if (month <= 0) month = 1;
    if (month > 12) month = 12;
    if (day <= 0) day = 1;
    if (day > daysInMonth(month, year)) day = daysInMonth(month, year);
    if (hour < 0) hour = 0;
    if (hour > 23) hour = 23;
    if (minute < 0) minute = 0;
    if (minute >= 60) minute = 59;
    if (second < 0) second = 0;
    if (second >= 60) second = 59;
    int64_t utcMinute = minute;
    if (zone != NO_ZONE) utcMinute -= zone;
    m_value = static_cast<int32_t>(clampToRange(fieldsToSeconds(year, month, day, hour, utcMinute, second)));
    m_zone = zone;
    if (zone != NO_ZONE) g_stickyZone = zone;
}

void DateTime::setLocalFields(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                              int32_t second, bool isUtc) {
    setFields(year, month, day, hour, minute, second, NO_ZONE);
    if (isUtc) return;
    // The clamped fields, read on the host's wall clock. A time before the start
    // of the range (a local time early on 1970-01-01 east of UTC) stays as it is.
    const int64_t instant = wallClockInstant(m_value);
    if (instant >= 0) m_value = static_cast<int32_t>(clampToRange(instant));
}

int32_t DateTime::zoneOffset(bool useSticky) const {
    if (m_zone != NO_ZONE) return m_zone;
    const int32_t sticky = g_stickyZone;
    if (useSticky && sticky != NO_ZONE) return sticky;
    return hostOffsetMinutes(m_value);
}

std::string DateTime::toString(bool utc, bool compact, bool showZone) const {
    const DateTimeFields f = utc ? fields() : localFields();
    std::string text = dateText(f, compact);
    text += 'T';
    text += timeText(f, compact);
    if (showZone && !utc) {
        const int32_t offset = hostOffsetMinutes(m_value);
        const int32_t size = offset < 0 ? -offset : offset;
        text += offset < 0 ? "-" : "+";
        appendTwoDigits(text, size / 60);
        if (!compact) text += ":";
        appendTwoDigits(text, size % 60);
    }
    return text;
}

DateTime DateTime::operator+(const TimeSpan& span) const {
    DateTime result(*this);
    result += span;
    return result;
}

DateTime DateTime::operator-(const TimeSpan& span) const {
    DateTime result(*this);
    result -= span;
    return result;
}

DateTime& DateTime::operator+=(const TimeSpan& span) {
    m_value = static_cast<int32_t>(saturate32(static_cast<int64_t>(m_value) + span.value()));
    return *this;
}

DateTime& DateTime::operator-=(const TimeSpan& span) {
    m_value = static_cast<int32_t>(saturate32(static_cast<int64_t>(m_value) - span.value()));
    return *this;
}

const TimeZoneDef& DateTime::zoneRules() { return zoneState(); }

int32_t DateTime::stickyZone() { return g_stickyZone; }

DateTime::ClockReader DateTime::setClockReader(ClockReader reader) {
    return g_clockReader.exchange(reader != nullptr ? reader : &systemClock);
}

std::string dateText(const DateFields& f, bool compact) {
    std::string text = intToString(f.year);
    if (!compact) text += '-';
    appendTwoDigits(text, f.month);
    if (!compact) text += '-';
    appendTwoDigits(text, f.day);
    return text;
}

std::string dateText(const DateTimeFields& f, bool compact) {
    DateFields d;
    d.year = f.year;
    d.month = f.month;
    d.day = f.day;
    d.weekday = f.weekday;
    return dateText(d, compact);
}

std::string timeText(const TimeFields& f, bool compact) {
    std::string text;
    appendTwoDigits(text, f.hour);
    if (!compact) text += ':';
    appendTwoDigits(text, f.minute);
    if (!compact) text += ':';
    appendTwoDigits(text, f.second);
    if (f.local == 0) text += 'Z';
    return text;
}

std::string timeText(const DateTimeFields& f, bool compact) {
    TimeFields t;
    t.hour = f.hour;
    t.minute = f.minute;
    t.second = f.second;
    t.local = f.local;
    return timeText(t, compact);
}

DateTimeFields parseDateTime(const std::string& text) {
    const DateTimeFields now = DateTime().fields();

    const size_t t = text.find('T');
    const std::string date = text.substr(0, t);
    const std::string time = (t == std::string::npos || t + 1 == text.size()) ? "00:00:00" : text.substr(t + 1);

    // Date: yyyy, then optionally "-", mm, then optionally "-", dd.
    if (date.size() < 4) BROLIX_INPUT_ERROR("Minimum input: \"yyyy\".");
    const std::string yearText = date.substr(0, 4);
    std::string monthText = "01";
    std::string dayText = "01";
    if (date.size() > 4) {
        size_t pos = 4;
        if (!isDigits(date, 4)) {
            if (date[4] != '-') BROLIX_INPUT_ERROR("Expected '-' after yyyy (year).");
            pos = 5;
        }
        if (date.size() < pos + 2) BROLIX_INPUT_ERROR("Illegal input format. Month must have 2 digits.");
        monthText = date.substr(pos, 2);
        pos += 2;
        if (date.size() > pos) {
            if (!isDigits(date, static_cast<int32_t>(pos))) {
                if (date[pos] != '-') BROLIX_INPUT_ERROR("Expected '-' after mm (month).");
                ++pos;
            }
            if (date.size() < pos + 2) BROLIX_INPUT_ERROR("Illegal input format. Day must have 2 digits.");
            dayText = date.substr(pos, 2);
            pos += 2;
            // One character after the day is tolerated.
            if (date.size() > pos + 1) BROLIX_INPUT_ERROR("Input too long.");
        }
    }

    // Time: hh, then optionally ":", mm, then optionally ":", ss, then a zone.
    if (time.size() < 2) BROLIX_INPUT_ERROR("Minimum input: \"hh\".");
    if (!isDigits(time, 0) || !isDigits(time, 1)) BROLIX_INPUT_ERROR("Minimum input format: \"hh\".");
    const std::string hourText = time.substr(0, 2);
    std::string minuteText = "00";
    std::string secondText = "00";
    bool isUtc = false;
    bool hasOffset = false;
    int32_t offset = 0;
    if (time.size() >= 3) {
        size_t pos = 2;
        if (!isDigits(time, 2)) {
            if (time[2] != ':') BROLIX_INPUT_ERROR("Expected ':' after hh (hours).");
            pos = 3;
        }
        if (time.size() < pos + 2) BROLIX_INPUT_ERROR("Illegal input format. Minutes must have 2 digits.");
        minuteText = time.substr(pos, 2);
        pos += 2;
        if (time.size() > pos) {
            if (!isDigits(time, static_cast<int32_t>(pos))) {
                if (time[pos] != ':') BROLIX_INPUT_ERROR("Expected ':' after mm (minutes).");
                ++pos;
            }
            if (time.size() < pos + 2) BROLIX_INPUT_ERROR("Illegal input format. Seconds must have 2 digits.");
            secondText = time.substr(pos, 2);
            pos += 2;
            if (time.size() > pos && time[pos] == 'Z') {
                if (time.size() > pos + 1) BROLIX_INPUT_ERROR("Input too long.");
                isUtc = true;
            } else if (time.size() > pos) {
                // Zone offset: "+" or "-", hh, then optionally ":" and mm.
                const bool negative = time[pos] == '-';
                if (time[pos] != '+' && !negative) BROLIX_INPUT_ERROR("Expected '+' or '-' before timezone.");
                ++pos;
                if (time.size() < pos + 2 || !isDigits(time, static_cast<int32_t>(pos)) ||
                    !isDigits(time, static_cast<int32_t>(pos + 1))) {
                    BROLIX_INPUT_ERROR("Illegal input format. Hours in timezone must have 2 digits.");
                }
                offset = std::atoi(time.substr(pos, 2).c_str()) * 60;
                pos += 2;
                if (time.size() > pos) {
                    if (!isDigits(time, static_cast<int32_t>(pos))) {
                        if (time[pos] != ':') BROLIX_INPUT_ERROR("Expected ':' after hh (hours) in timezone.");
                        ++pos;
                    }
                    if (time.size() < pos + 2) {
                        BROLIX_INPUT_ERROR("Illegal input format. Minutes in timezone must have 2 digits.");
                    }
                    offset += leadingNumber(time.substr(pos, 2));
                    pos += 2;
                    if (time.size() > pos + 1) BROLIX_INPUT_ERROR("Input too long.");
                }
                if (negative) offset = -offset;
                hasOffset = true;
            }
        }
    }

    DateTimeFields f;
    f.year = fieldValue(yearText, now.year);
    f.month = fieldValue(monthText, now.month);
    f.day = fieldValue(dayText, now.day);
    f.hour = fieldValue(hourText, now.hour);
    f.minute = fieldValue(minuteText, now.minute);
    f.second = fieldValue(secondText, now.second);

    if (hasOffset) {
        DateTime zoned(0);
        zoned.setFields(f.year, f.month, f.day, f.hour, f.minute, f.second, offset);
        f = zoned.fields();
    } else if (!isUtc) {
        // Wall-clock text: the sticky zone if one was given, else the host's
        // offset at that time. The host's offset belongs to this one instant, so
        // it does not become sticky: a later text from the other side of a
        // daylight-saving change must get its own offset.
        DateTime local(0);
        local.setLocalFields(f.year, f.month, f.day, f.hour, f.minute, f.second, false);
        const int32_t sticky = g_stickyZone;
        DateTime zoned(0);
        zoned.setFields(f.year, f.month, f.day, f.hour, f.minute, f.second,
                        sticky != DateTime::NO_ZONE ? sticky : local.zoneOffset(false));
        if (sticky == DateTime::NO_ZONE) g_stickyZone = DateTime::NO_ZONE;
        // Without a sticky zone the text reads as setLocalFields reads it: a time
        // that a change of the clock skips is moved on by the gap, rather than
        // taking the offset that follows the gap, and an offset with seconds keeps
        // them. Only a time before the start of the range keeps the zoned form,
        // which holds it at the start.
        if (sticky == DateTime::NO_ZONE && zoned.value() > 0) zoned = local;
        f = zoned.fields();
    }
    f.local = 0;
    return DateTime(f).fields();
}

void waitSeconds(int32_t seconds) {
    const DateTime target = DateTime() + TimeSpan(seconds);
    DateTime now;
    while (now < target) {
        sleepMilliseconds(10);
        now.setNow();
    }
}

}  // namespace Brolix
