// The clock of the Windows backend: the runtime's conversions in UTC and in a
// zone given through TZ, and their inverse.
#include "platform/Clock.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

using namespace Brolix::platform;

namespace {

std::vector<int> parts(const std::tm& t) {
    return {t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_wday, t.tm_isdst};
}

/// Sets TZ for the runtime for the object's lifetime.
class Zone {
public:
    explicit Zone(const char* tz) {
        if (const char* old = std::getenv("TZ")) m_old = old;
        ::_putenv_s("TZ", tz);
        initTimeZone();
    }
    ~Zone() {
        ::_putenv_s("TZ", m_old.c_str());
        initTimeZone();
    }

private:
    std::string m_old;
};

// Winter instants only: under Wine the runtime takes the offset from TZ but the
// daylight-saving rules from the system's own zone.
TEST(Win32ClockTest, BreaksInstantsDownInUtcAndInTheZone) {
    Zone zone("EST5EDT");
    const struct {
        int64_t seconds;
        std::vector<int> utc;
        std::vector<int> local;
    } cases[] = {
        {0, {1970, 1, 1, 0, 0, 0, 4, 0}, {1969, 12, 31, 19, 0, 0, 3, 0}},
        {1705000000, {2024, 1, 11, 19, 6, 40, 4, 0}, {2024, 1, 11, 14, 6, 40, 4, 0}},
        {2147483647, {2038, 1, 19, 3, 14, 7, 2, 0}, {2038, 1, 18, 22, 14, 7, 1, 0}},
    };
    for (const auto& c : cases) {
        std::tm t = {};
        ASSERT_TRUE(utcTime(c.seconds, t)) << c.seconds;
        EXPECT_EQ(parts(t), c.utc) << c.seconds;
        if (c.seconds == 0) continue;  // local time in 1969
        ASSERT_TRUE(localTime(c.seconds, t)) << c.seconds;
        EXPECT_EQ(parts(t), c.local) << c.seconds;
        t.tm_isdst = -1;
        EXPECT_EQ(makeLocalTime(t), c.seconds) << c.seconds;
    }
    std::tm t = {};
    // The runtime refuses instants before 1970.
    EXPECT_FALSE(localTime(-1, t));
    EXPECT_FALSE(utcTime(-1, t));
}

TEST(Win32ClockTest, CurrentTimeIsTheSystemClock) {
    FILETIME now;
    ::GetSystemTimeAsFileTime(&now);
    const int64_t system =
        (static_cast<int64_t>(static_cast<uint64_t>(now.dwHighDateTime) << 32 | now.dwLowDateTime) -
         116444736000000000LL) /
        10000000LL;
    EXPECT_LE(std::llabs(currentTime() - system), 2);
}

}  // namespace
