#include "DateTime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include <memory>

#include "TimeException.h"
#include "testing/TestSystem.h"
#include "testing/ZonedText.h"

using namespace Brolix;

namespace {

// UTC text of a value, extended form.
std::string utcText(const DateTime& t) { return t.toString(true, false, false); }

DateTime utcFields(int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute, int32_t second) {
    DateTime t(0);
    t.setLocalFields(year, month, day, hour, minute, second, true);
    return t;
}

// Replaces the clock for one test.
class FakeClock {
public:
    explicit FakeClock(DateTime::ClockReader reader) : m_previous(DateTime::setClockReader(reader)) {}
    ~FakeClock() { DateTime::setClockReader(m_previous); }

private:
    DateTime::ClockReader m_previous;
};

TEST(DateTimeTest, ValuesAreNeverNegative) {
    EXPECT_EQ(0, DateTime(-5).value());
    EXPECT_EQ(1234, DateTime(1234).value());

    DateTime t(10);
    try {
        t.setValue(-1);
        FAIL() << "no exception";
    } catch (const TimeException& e) {
        EXPECT_EQ(TimeException::TM_DATETIME, e.code());
        EXPECT_EQ("", e.message());
    }
    EXPECT_EQ(10, t.value());
}

TEST(DateTimeTest, SetFieldsClampsEachField) {
    struct Case {
        int32_t year, month, day, hour, minute, second;
        const char* expected;
    };
    const Case cases[] = {
        {2011, 2, 30, 25, 61, -3, "2011-02-28T23:59:00Z"},
        {1969, 0, 0, 0, 0, 0, "1970-01-01T00:00:00Z"},
        {2000, 2, 29, 12, 0, 0, "2000-02-29T12:00:00Z"},
        {2012, 2, 30, 0, 0, 0, "2012-02-29T00:00:00Z"},
        {2010, 13, 31, -1, -1, 60, "2010-12-31T00:00:59Z"},
        {2010, 4, 31, 0, 0, 0, "2010-04-30T00:00:00Z"},
        {2038, 1, 19, 3, 14, 7, "2038-01-19T03:14:07Z"},
        // Whatever lies after the latest instant ends there rather than
        // wrapping round to 1970 or moving to an earlier date.
        {2040, 5, 25, 12, 0, 0, "2038-01-19T03:14:07Z"},
        {2039, 6, 15, 12, 0, 0, "2038-01-19T03:14:07Z"},
        {2038, 6, 1, 0, 0, 0, "2038-01-19T03:14:07Z"},
        {2038, 1, 19, 3, 14, 8, "2038-01-19T03:14:07Z"},
        {2040, 1, 25, 0, 0, 0, "2038-01-19T03:14:07Z"},
        {2038, 12, 31, 23, 59, 59, "2038-01-19T03:14:07Z"},
    };
    for (const Case& c : cases) {
        DateTime t(0);
        t.setFields(c.year, c.month, c.day, c.hour, c.minute, c.second);
        EXPECT_EQ(c.expected, utcText(t)) << c.year << "-" << c.month << "-" << c.day << " " << c.hour << ":"
                                          << c.minute << ":" << c.second;
        EXPECT_EQ(DateTime::NO_ZONE, t.zone());
    }
}

// The checks below set the process's sticky zone, which would reach every later
// test of this binary: they run in the zone children further down.
// setFields with a zone: wall-clock time there, the zone becomes sticky.
void checkZonedFields() {
    DateTime t(0);
    t.setFields(2010, 5, 6, 12, 0, 0, 60);
    EXPECT_EQ("2010-05-06T11:00:00Z", utcText(t));
    EXPECT_EQ(60, t.zone());
    EXPECT_EQ(60, DateTime::stickyZone());
    EXPECT_EQ(60, t.zoneOffset(false));

    t.setFields(2010, 5, 6, 12, 0, 0, -330);
    EXPECT_EQ("2010-05-06T17:30:00Z", utcText(t));
    EXPECT_EQ(-330, DateTime::stickyZone());

    // Before 1970 in UTC: the value stops at 0.
    t.setFields(1970, 1, 1, 0, 30, 0, 60);
    EXPECT_EQ(0, t.value());

    // A copy hands its zone on as the sticky zone; a value without one does not.
    DateTime zoned(0);
    zoned.setFields(2010, 1, 1, 0, 0, 0, 120);
    t.setFields(2010, 1, 1, 0, 0, 0, -60);
    DateTime copy(zoned);
    EXPECT_EQ(120, copy.zone());
    EXPECT_EQ(120, DateTime::stickyZone());
    DateTime plain(5);
    plain = DateTime(7);
    EXPECT_EQ(120, DateTime::stickyZone());
    EXPECT_EQ(120, plain.zoneOffset(true));
}

TEST(DateTimeTest, BrokenDownFieldsAreUtc) {
    const DateTime t = utcFields(2010, 5, 6, 12, 30, 45);
    EXPECT_EQ(1273149045, t.value());

    const DateTimeFields f = t.fields();
    EXPECT_EQ(2010, f.year);
    EXPECT_EQ(5, f.month);
    EXPECT_EQ(6, f.day);
    EXPECT_EQ(3, f.weekday);  // a Thursday
    EXPECT_EQ(12, f.hour);
    EXPECT_EQ(30, f.minute);
    EXPECT_EQ(45, f.second);
    EXPECT_EQ(0, f.local);

    const DateFields d = t.date();
    EXPECT_EQ(2010, d.year);
    EXPECT_EQ(5, d.month);
    EXPECT_EQ(6, d.day);
    EXPECT_EQ(3, d.weekday);
    const TimeFields tod = t.timeOfDay();
    EXPECT_EQ(12, tod.hour);
    EXPECT_EQ(30, tod.minute);
    EXPECT_EQ(45, tod.second);
    EXPECT_EQ(0, tod.local);

    EXPECT_EQ(6, utcFields(2010, 5, 9, 0, 0, 0).fields().weekday);   // a Sunday
    EXPECT_EQ(0, utcFields(2010, 5, 10, 0, 0, 0).fields().weekday);  // a Monday

    // A record goes back through assignFields unchanged.
    DateTime back(0);
    back.assignFields(f);
    EXPECT_EQ(t, back);
    EXPECT_EQ(t, DateTime(f));
}

TEST(DateTimeTest, WritesUtcTextInBothForms) {
    const DateTime t = utcFields(2010, 5, 6, 12, 30, 0);
    EXPECT_EQ("20100506T123000Z", t.toString(true, true, false));
    EXPECT_EQ("2010-05-06T12:30:00Z", t.toString(true, false, false));
    EXPECT_EQ("2010-05-06T12:30:00Z", t.toString(true, false, true));

    DateFields d;
    d.year = 987;
    d.month = 3;
    d.day = 4;
    EXPECT_EQ("987-03-04", dateText(d, false));
    EXPECT_EQ("9870304", dateText(d, true));

    TimeFields local;
    local.hour = 9;
    local.minute = 5;
    local.second = 7;
    local.local = 1;
    EXPECT_EQ("09:05:07", timeText(local, false));
    EXPECT_EQ("090507", timeText(local, true));
    TimeFields utc = local;
    utc.local = 0;
    EXPECT_EQ("09:05:07Z", timeText(utc, false));
    EXPECT_EQ("090507Z", timeText(utc, true));
}

TEST(DateTimeTest, SpanArithmeticAndComparisons) {
    const DateTime t(1000);
    EXPECT_EQ(1030, (t + TimeSpan(30)).value());
    EXPECT_EQ(970, (t - TimeSpan(30)).value());
    EXPECT_EQ(970, (t + TimeSpan(-30)).value());
    EXPECT_EQ(1000, t.value());

    DateTime u(t);
    u += TimeSpan(5);
    EXPECT_EQ(1005, u.value());
    u -= TimeSpan(10);
    EXPECT_EQ(995, u.value());

    EXPECT_TRUE(u < t);
    EXPECT_TRUE(t > u);
    EXPECT_TRUE(t >= DateTime(1000));
    EXPECT_TRUE(t <= DateTime(1000));
    EXPECT_TRUE(t == DateTime(1000));
    EXPECT_TRUE(t != u);
    EXPECT_TRUE(t == TimeSpan(1000));  // any two time values compare by seconds

    // The sum stops at the end of the range instead of wrapping to a negative value.
    EXPECT_EQ(DateTime::LATEST, (DateTime(DateTime::LATEST - 10) + TimeSpan(30)).value());
}

int g_clockCalls = 0;
int64_t g_clockReadings[2];

int64_t scriptedClock() { return g_clockReadings[g_clockCalls++ < 1 ? 0 : 1]; }

TEST(DateTimeTest, SetNowAsksTheClockAgainWhenItReportsTheLatestInstant) {
    struct Case {
        int64_t first, second;
        int calls;
        int32_t expected;
    };
    const Case cases[] = {
        {1000, 2000, 1, 1000},
        {DateTime::LATEST, 2000, 2, 2000},
        {DateTime::LATEST, DateTime::LATEST, 2, DateTime::LATEST},
        {-1, 2000, 1, 0},
        {5000000000LL, 2000, 2, 2000},  // beyond the range: the latest instant, then asked again
    };
    for (const Case& c : cases) {
        FakeClock clock(&scriptedClock);
        g_clockCalls = 0;
        g_clockReadings[0] = c.first;
        g_clockReadings[1] = c.second;
        DateTime t;
        EXPECT_EQ(c.calls, g_clockCalls) << c.first;
        EXPECT_EQ(c.expected, t.value()) << c.first;
    }
}

TEST(DateTimeTest, NowFollowsTheSystemClock) {
    const int64_t before = std::time(nullptr);
    const DateTime now;
    EXPECT_GE(now.value(), before);
    EXPECT_LE(now.value(), std::time(nullptr));
}

// Text with "Z" or an offset reads the same in every zone.
void checkUtcAndOffsetTexts() {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"2010-05-06T12:30:00Z", "2010-05-06T12:30:00Z"},
        {"20100506T123000Z", "2010-05-06T12:30:00Z"},
        {"2010-0506T12:3000Z", "2010-05-06T12:30:00Z"},
        {"2010-05-06XT12:30:00Z", "2010-05-06T12:30:00Z"},
        {"2010-05-06T12:30:00+02:00", "2010-05-06T10:30:00Z"},
        {"2010-05-06T123000+0200", "2010-05-06T10:30:00Z"},
        {"2010-05-06T12:30:00+02", "2010-05-06T10:30:00Z"},
        {"2010-05-06T12:30:00+02:00X", "2010-05-06T10:30:00Z"},
        {"2010-05-06T12:30:00-03:30", "2010-05-06T16:00:00Z"},
        {"2010-05-06T12:30:00+05:3x", "2010-05-06T07:27:00Z"},
        {"2010-05-06T12:30:00+05:-3", "2010-05-06T07:30:00Z"},
        {"2010-05-06T00:10:00+01:00", "2010-05-05T23:10:00Z"},
        // Out-of-range numbers are clamped, not rejected.
        {"2010-13-45T25:61:61Z", "2010-12-31T23:59:59Z"},
        {"1960-01-01T00:00:00Z", "1970-01-01T00:00:00Z"},
        {"2040-05-25T12:00:00Z", "2038-01-19T03:14:07Z"},
        {"2038-06-01T00:00:00Z", "2038-01-19T03:14:07Z"},
        {"1970-01-01T00:30:00+01:00", "1970-01-01T00:00:00Z"},
    };
    for (const Case& c : cases) {
        try {
            const DateTimeFields f = parseDateTime(c.text);
            EXPECT_EQ(0, f.local) << c.text;
            EXPECT_EQ(c.expected, utcText(DateTime(f))) << c.text;
        } catch (const TimeException& e) {
            ADD_FAILURE() << c.text << ": " << e.fullText();
        }
    }
}

int64_t fixedClock() { return 1273149045; }  // 2010-05-06 12:30:45 UTC

TEST(DateTimeParseTest, FieldsThatAreNotDigitsComeFromTheCurrentTime) {
    FakeClock clock(&fixedClock);
    const DateTimeFields f = parseDateTime("1999-xx-0aT07:5?:??Z");
    EXPECT_EQ(1999, f.year);
    EXPECT_EQ(5, f.month);
    EXPECT_EQ(6, f.day);
    EXPECT_EQ(7, f.hour);
    EXPECT_EQ(30, f.minute);
    EXPECT_EQ(45, f.second);
}

TEST(DateTimeParseTest, RejectsMalformedTextWithItsReason) {
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"201", "Minimum input: \"yyyy\"."},
        {"T12:00:00Z", "Minimum input: \"yyyy\"."},
        {"2010/05/06", "Expected '-' after yyyy (year)."},
        {"2010-5", "Illegal input format. Month must have 2 digits."},
        {"2010-", "Illegal input format. Month must have 2 digits."},
        {"2010-05/06", "Expected '-' after mm (month)."},
        {"2010-05-6", "Illegal input format. Day must have 2 digits."},
        {"2010-05-", "Illegal input format. Day must have 2 digits."},
        {"2010-05-06XY", "Input too long."},
        {"2010-05-06T1", "Minimum input: \"hh\"."},
        {"2010-05-06T1x:00", "Minimum input format: \"hh\"."},
        {"2010-05-06T12.30", "Expected ':' after hh (hours)."},
        {"2010-05-06T12:3", "Illegal input format. Minutes must have 2 digits."},
        {"2010-05-06T12:", "Illegal input format. Minutes must have 2 digits."},
        {"2010-05-06T12:30+02:00", "Expected ':' after mm (minutes)."},
        {"2010-05-06T12:30:0", "Illegal input format. Seconds must have 2 digits."},
        {"2010-05-06T12:30:00ZX", "Input too long."},
        {"2010-05-06T12:30:00 +02:00", "Expected '+' or '-' before timezone."},
        {"2010-05-06T12:30:00+2", "Illegal input format. Hours in timezone must have 2 digits."},
        {"2010-05-06T12:30:00+", "Illegal input format. Hours in timezone must have 2 digits."},
        {"2010-05-06T12:30:00+0x:00", "Illegal input format. Hours in timezone must have 2 digits."},
        {"2010-05-06T12:30:00+02.00", "Expected ':' after hh (hours) in timezone."},
        {"2010-05-06T12:30:00+02:0", "Illegal input format. Minutes in timezone must have 2 digits."},
        {"2010-05-06T12:30:00+02:00XY", "Input too long."},
        {"", "Minimum input: \"yyyy\"."},
    };
    for (const Case& c : cases) {
        try {
            parseDateTime(c.text);
            ADD_FAILURE() << "no exception for " << c.text;
        } catch (const TimeException& e) {
            EXPECT_EQ(TimeException::TM_INPUT, e.code()) << c.text;
            EXPECT_EQ(c.message, e.message()) << c.text;
            ASSERT_EQ(1u, e.trail().size()) << c.text;
            EXPECT_EQ("DateTime.", e.trail()[0].name) << c.text;
        }
    }
}

TEST(DateTimeWaitTest, WaitsUntilTheClockHasMovedOn) {
    auto start = std::chrono::steady_clock::now();
    waitSeconds(0);
    waitSeconds(-3);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

    const int64_t before = std::time(nullptr);
    start = std::chrono::steady_clock::now();
    waitSeconds(1);
    EXPECT_GE(std::time(nullptr), before + 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
}

}  // namespace

// The checks that set the process's sticky zone run in a child process of their
// own (this test again), in zones written in the form every C runtime reads:
// the results must not depend on the zone.
TEST(DateTimeStickyZoneTest, ZonedFieldsAndOffsetTextsInSeveralZones) {
    if (test::testRole() == "zoned") {
        checkZonedFields();
        checkUtcAndOffsetTexts();
        return;
    }
    for (const char* zone : {"UTC0", "EST5EDT", "IST-5:30"}) {
        test::ChildOptions options;
        options.setVariables.emplace_back("TZ", zone);
        const std::unique_ptr<test::ChildProcess> child = test::startThisTest("zoned", options);
        const test::ProcessEnd end = child->wait();
        EXPECT_EQ(end.exitCode, 0) << zone << ":\n" << child->problem() << child->output();
        EXPECT_NE(child->output().find("[  PASSED  ] 1 test."), std::string::npos) << zone << ":\n"
                                                                                   << child->output();
    }
}

// ---------------------------------------------------------------------------
// The ends of the range: text with "Z" or an offset reads back as the instant it
// was written for, everywhere in the range, and fields beyond the range are held
// at its ends. Offsets become the process's sticky zone, so the checks run in a
// child process of their own.
namespace range {

// Prints each text that does not read as `expected` seconds; true when all do.
bool readsAs(const std::string& text, int64_t expected) {
    try {
        const int64_t value = DateTime(parseDateTime(text)).value();
        if (value == expected) return true;
        std::fprintf(stderr, "%s reads as %lld, not %lld\n", text.c_str(), static_cast<long long>(value),
                     static_cast<long long>(expected));
    } catch (const TimeException& e) {
        std::fprintf(stderr, "%s: %s\n", text.c_str(), e.fullText().c_str());
    }
    return false;
}

void checkTheEnds() {
    const int64_t latest = DateTime::LATEST;
    const struct {
        const char* text;
        int64_t expected;
    } cases[] = {
        {"2039", latest},
        {"2039-06-15T12:00:00Z", latest},
        {"2038-01-19T03:14:08Z", latest},
        {"2038-01-19T05:14:07+02:00", latest},
        {"2038-01-18T22:14:08-05:00", latest},
        {"2038-01-19T03:14:06Z", latest - 1},
        {"1969-12-31T19:00:00-05:00", 0},
        {"1969-12-31T20:00:01-04:00", 1},
        {"1969-12-31T23:59:59Z", 0},
        {"1970-01-01T05:29:59+05:30", 0},
        {"1900-06-15T12:00:00Z", 0},
    };
    bool good = true;
    for (const auto& c : cases) good = readsAs(c.text, c.expected) && good;
    std::exit(good ? 0 : 1);
}

void checkEveryInstant() {
    std::vector<int64_t> instants = {
        0, 1, 59, 3599, 86399, 86400, DateTime::LATEST - 86400, DateTime::LATEST - 1, DateTime::LATEST};
    for (int64_t t = 12345; t < DateTime::LATEST; t += 1000003) instants.push_back(t);
    const int offsets[] = {-720, -300, -210, -1, 0, 1, 330, 345, 840};
    bool good = true;
    for (const int64_t t : instants) {
        const DateTime value(static_cast<int32_t>(t));
        good = readsAs(value.toString(true, false, false), t) && good;
        good = readsAs(value.toString(true, true, false), t) && good;
        for (const int offset : offsets) {
            good = readsAs(test::zonedText(t, offset, false), t) && good;
            good = readsAs(test::zonedText(t, offset, true), t) && good;
        }
    }
    std::exit(good ? 0 : 1);
}

TEST(DateTimeRangeTest, FieldsBeyondTheRangeAreHeldAtItsEnds) {
    EXPECT_EXIT(checkTheEnds(), ::testing::ExitedWithCode(0), "");
}

TEST(DateTimeRangeTest, TextOfEveryInstantReadsBackInAnyZone) {
    EXPECT_EXIT(checkEveryInstant(), ::testing::ExitedWithCode(0), "");
}

}  // namespace range
