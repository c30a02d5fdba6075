// The host's zone from the system's zone database: the rules and conversions
// derived for zones named as the database names them, against the C library's.

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "DateTime.h"
#include "testing/TestSystem.h"
#include "TimeException.h"

using namespace Brolix;

// The host's zone: this binary runs itself again with TZ set, and the tests of
// ZoneChild compare the derived rules and conversions with the C library's.
namespace zone {

const char kChildVariable[] = "BROLIX_TIME_ZONE_CHILD";

struct ZoneCase {
    const char* name;
    TimeZoneDef rules;
};

// {bias, shift, start month, week, weekday, hour, end month, week, weekday, hour}
const ZoneCase kZones[] = {
    {"UTC", {0, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"Europe/Berlin", {3600, 3600, 3, 5, 6, 2, 10, 5, 6, 3}},
    {"America/New_York", {-18000, 3600, 3, 2, 6, 2, 11, 1, 6, 2}},
    // Daylight time spans the new year.
    {"Australia/Sydney", {36000, 3600, 10, 1, 6, 2, 4, 1, 6, 3}},
    // No daylight time, half-hour offsets.
    {"Asia/Kolkata", {19800, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
    {"America/St_Johns", {-12600, 3600, 3, 2, 6, 2, 11, 1, 6, 2}},
    // The clock changes at midnight: recorded on the day the change happens, at
    // 00:00 (the first Sunday, not the Saturday before it at 24:00).
    {"America/Santiago", {-14400, 3600, 9, 1, 6, 0, 4, 1, 6, 0}},
    // Midnight again: the last Friday of April, which the day before it would
    // misname in years where April ends on a Thursday.
    {"Africa/Cairo", {7200, 3600, 4, 5, 4, 0, 10, 5, 4, 0}},
};

// Runs the ZoneChild tests in a child with TZ = `zoneName`; returns its exit
// status and collects its output.
int runChild(const std::string& zoneName, std::string& output) {
    Brolix::test::ChildOptions options;
    options.setVariables = {{"TZ", zoneName}, {kChildVariable, zoneName}};
    Brolix::test::ChildProcess child(Brolix::test::thisProgram(), {"--gtest_filter=ZoneChild.*"}, options);
    const Brolix::test::ProcessEnd end = child.wait();
    output = child.problem() + child.output() + child.errors();
    return end.exitCode;
}

TEST(DateTimeZoneTest, ChildProcessChecksPassInEveryZone) {
    for (const ZoneCase& z : kZones) {
        std::string output;
        EXPECT_EQ(0, runChild(z.name, output)) << z.name << ":\n" << output;
        EXPECT_NE(std::string::npos, output.find("[  PASSED  ] 4 tests")) << z.name << ":\n" << output;
    }
}

// The zone the child runs in, or null outside such a child.
const ZoneCase* childZone() {
    const char* name = std::getenv(kChildVariable);
    if (name == nullptr) return nullptr;
    for (const ZoneCase& z : kZones) {
        if (z.name == std::string(name)) return &z;
    }
    return nullptr;
}

int currentYear() {
    const time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    return tm.tm_year + 1900;
}

std::tm localTm(int64_t seconds) {
    const time_t t = static_cast<time_t>(seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

int64_t mktimeOf(int year, int month, int day, int hour, int minute) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_isdst = -1;
    return static_cast<int64_t>(mktime(&tm));
}

std::string cText(int64_t seconds) {
    const std::tm tm = localTm(seconds);
    char text[64];
    strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
    return text;
}

void DerivesTheZoneRules(const ZoneCase& zoneCase) {
    const TimeZoneDef& r = DateTime::zoneRules();
    const TimeZoneDef& e = zoneCase.rules;
    EXPECT_EQ(e.bias, r.bias);
    EXPECT_EQ(e.daylightShift, r.daylightShift);
    EXPECT_EQ(e.startMonth, r.startMonth);
    EXPECT_EQ(e.startWeek, r.startWeek);
    EXPECT_EQ(e.startWeekday, r.startWeekday);
    EXPECT_EQ(e.startHour, r.startHour);
    EXPECT_EQ(e.endMonth, r.endMonth);
    EXPECT_EQ(e.endWeek, r.endWeek);
    EXPECT_EQ(e.endWeekday, r.endWeekday);
    EXPECT_EQ(e.endHour, r.endHour);
}

// Every local hour of the current year turns into the same instant as the C
// library gives, except the hours a clock change skips or repeats.
void LocalFieldsMatchTheHostAcrossTheYear(const ZoneCase&) {
    const int year = currentYear();
    int compared = 0;
    for (int month = 1; month <= 12; ++month) {
        const int days = localTm(mktimeOf(year, month + 1, 0, 12, 0)).tm_mday;  // day 0: the month's last
        for (int day = 1; day <= days; ++day) {
            for (int hour = 0; hour < 24; ++hour) {
                const int64_t expected = mktimeOf(year, month, day, hour, 0);
                const std::tm at = localTm(expected);
                const std::tm before = localTm(expected - 3600);
                const std::tm after = localTm(expected + 3600);
                const bool skipped = at.tm_hour != hour || at.tm_mday != day;
                const bool repeated = (before.tm_hour == hour && before.tm_mday == day) ||
                                      (after.tm_hour == hour && after.tm_mday == day);
                if (skipped || repeated) continue;
                DateTime t(0);
                t.setLocalFields(year, month, day, hour, 0, 0, false);
                ASSERT_EQ(expected, t.value()) << year << "-" << month << "-" << day << " " << hour << ":00";
                ++compared;
            }
        }
    }
    EXPECT_GE(compared, 365 * 24 - 2);
}

// The local rendering equals the C library's, across the year and at both ends
// of the range.
void LocalTextMatchesTheHost(const ZoneCase&) {
    const int64_t begin = mktimeOf(currentYear(), 1, 1, 0, 0);
    std::vector<int64_t> instants = {0, 1, 86399, DateTime::LATEST - 86400, DateTime::LATEST};
    for (int64_t t = begin; t < begin + 366 * 86400LL; t += 3599) instants.push_back(t);
    for (int64_t t : instants) {
        const DateTime value(static_cast<int32_t>(t));
        ASSERT_EQ(cText(t), value.toString(false, false, false)) << t;
        const std::tm tm = localTm(t);
        ASSERT_EQ(tm.tm_gmtoff / 60, value.zoneOffset(false)) << t;
        const DateTimeFields local = value.localFields();
        ASSERT_EQ(1, local.local);
        ASSERT_EQ((tm.tm_wday + 6) % 7, local.weekday) << t;
    }

    const DateTime summer(static_cast<int32_t>(mktimeOf(currentYear(), 7, 1, 12, 30)));
    std::string compact = cText(summer.value());
    compact.erase(std::remove_if(compact.begin(), compact.end(), [](char c) { return c == '-' || c == ':'; }),
                  compact.end());
    EXPECT_EQ(compact, summer.toString(false, true, false));
}

// Text without a zone is the host's wall-clock time, whatever was read before it.
void ReadsTextWithoutAZoneAsLocalTime(const ZoneCase&) {
    const int year = currentYear();
    const std::string y = std::to_string(year);
    struct Case {
        std::string text;
        int month, day, hour, minute;
    };
    const Case cases[] = {
        {"2010", 1, 1, 0, 0},
        {"2010-05", 5, 1, 0, 0},
        {"201005", 5, 1, 0, 0},
        {"2010-05-06", 5, 6, 0, 0},
        {"2010-05-06T", 5, 6, 0, 0},
        {y + "-07-01T12:00:00", 7, 1, 12, 0},
        {y + "-01-15T12:30", 1, 15, 12, 30},
        {y + "0701T1200", 7, 1, 12, 0},
        {y + "-12-24T18", 12, 24, 18, 0},
    };
    for (const Case& c : cases) {
        const int caseYear = c.text.compare(0, 4, "2010") == 0 ? 2010 : year;
        const DateTime parsed(parseDateTime(c.text));
        EXPECT_EQ(mktimeOf(caseYear, c.month, c.day, c.hour, c.minute), parsed.value()) << c.text;
    }
    EXPECT_EQ(DateTime::NO_ZONE, DateTime::stickyZone());

    // With the zone shown, local text reads back as the same instant.
    const DateTime summer(static_cast<int32_t>(mktimeOf(year, 7, 1, 12, 30)));
    const std::string zoned = summer.toString(false, false, true);
    EXPECT_EQ(summer, DateTime(parseDateTime(zoned))) << zoned;
    EXPECT_EQ(summer, DateTime(parseDateTime(summer.toString(false, true, true))));

    // A zone given in the text stays with the process and applies to later text
    // without one.
    parseDateTime(y + "-07-01T12:00:00+05:30");
    EXPECT_EQ(330, DateTime::stickyZone());
    EXPECT_EQ("2010-01-01T06:30:00Z",
              DateTime(parseDateTime("2010-01-01T12:00")).toString(true, false, false));
}

// The child's tests exist only in a child: registered when the binary starts
// with the zone variable set, so that ordinary runs do not list them.
class ZoneChildTest : public ::testing::Test {
public:
    ZoneChildTest(void (*body)(const ZoneCase&), const ZoneCase& zoneCase) : m_body(body), m_zone(zoneCase) {}
    void TestBody() override { m_body(m_zone); }

private:
    void (*m_body)(const ZoneCase&);
    const ZoneCase& m_zone;
};

const bool kChildTestsRegistered = [] {
    const ZoneCase* zoneCase = childZone();
    if (zoneCase == nullptr) return false;
    const struct {
        const char* name;
        void (*body)(const ZoneCase&);
    } tests[] = {
        {"DerivesTheZoneRules", &DerivesTheZoneRules},
        {"LocalFieldsMatchTheHostAcrossTheYear", &LocalFieldsMatchTheHostAcrossTheYear},
        {"LocalTextMatchesTheHost", &LocalTextMatchesTheHost},
        {"ReadsTextWithoutAZoneAsLocalTime", &ReadsTextWithoutAZoneAsLocalTime},
    };
    for (const auto& t : tests) {
        auto body = t.body;
        ::testing::RegisterTest(
            "ZoneChild", t.name, nullptr, nullptr, __FILE__, __LINE__,
            [body, zoneCase]() -> ::testing::Test* { return new ZoneChildTest(body, *zoneCase); });
    }
    return true;
}();

}  // namespace zone
