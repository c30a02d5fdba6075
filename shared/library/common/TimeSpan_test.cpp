#include "TimeSpan.h"

#include <gtest/gtest.h>

#include "TimeException.h"

using namespace Brolix;

namespace {

TEST(TimeSpanTest, SetPartsAddsUpTheParts) {
    struct Case {
        int32_t days, hours, minutes, seconds;
        int32_t expected;
    };
    const Case cases[] = {
        {0, 0, 0, 30, 30},
        {1, 0, 0, 0, 86400},
        {0, 23, 59, 59, 86399},
        {-24855, 0, 0, 0, -2147472000},
        {-1, 23, 0, 0, -3600},
        {24855, 3, 14, 7, 2147483647},
    };
    for (const Case& c : cases) {
        TimeSpan span;
        span.setParts(c.days, c.hours, c.minutes, c.seconds);
        EXPECT_EQ(c.expected, span.value()) << c.days << " " << c.hours << " " << c.minutes << " " << c.seconds;
    }
}

TEST(TimeSpanTest, SetPartsRejectsTheFirstPartOutOfRangeAndKeepsTheValue) {
    struct Case {
        int32_t days, hours, minutes, seconds;
        uint32_t code;
    };
    const Case cases[] = {
        {24856, 0, 0, 0, TimeException::TM_DAYS},
        {-24856, 0, 0, 0, TimeException::TM_DAYS},
        {0, 24, 0, 0, TimeException::TM_HOURS},
        {0, -1, 0, 0, TimeException::TM_HOURS},
        {0, 0, 60, 0, TimeException::TM_MINUTES},
        {0, 0, -1, 0, TimeException::TM_MINUTES},
        {0, 0, 0, 60, TimeException::TM_SECONDS},
        {0, 0, 0, -1, TimeException::TM_SECONDS},
        // Checked in order: the days fail before the hours.
        {30000, 30, 0, 0, TimeException::TM_DAYS},
        {0, 30, 70, 0, TimeException::TM_HOURS},
        // Each part is in range but the total does not fit in 32 bits.
        {24855, 3, 14, 8, TimeException::TM_DAYS},
        {24855, 23, 59, 59, TimeException::TM_DAYS},
    };
    for (const Case& c : cases) {
        TimeSpan span(77);
        try {
            span.setParts(c.days, c.hours, c.minutes, c.seconds);
            ADD_FAILURE() << "no exception for " << c.days << " " << c.hours << " " << c.minutes << " " << c.seconds;
        } catch (const TimeException& e) {
            EXPECT_EQ(c.code, e.code()) << c.days << " " << c.hours << " " << c.minutes << " " << c.seconds;
            EXPECT_EQ("", e.message());
            ASSERT_EQ(1u, e.trail().size());
            EXPECT_EQ("TimeSpan.", e.trail()[0].name);
        }
        EXPECT_EQ(77, span.value());
    }
}

TEST(TimeSpanTest, ConstructsAssignsAndComparesBySeconds) {
    EXPECT_EQ(0, TimeSpan().value());
    EXPECT_EQ(-5, TimeSpan(-5).value());  // constructors take any value

    TimeSpan span;
    const TimeBase& base = TimeSpan(30);
    span = base;
    EXPECT_EQ(30, span.value());

    EXPECT_TRUE(TimeSpan(30) == TimeSpan(30));
    EXPECT_TRUE(TimeSpan(30) != TimeSpan(31));
    EXPECT_TRUE(TimeSpan(-1) < TimeSpan(0));
    EXPECT_TRUE(TimeSpan(2) > TimeSpan(1));
    EXPECT_TRUE(TimeSpan(2) >= TimeSpan(2));
    EXPECT_FALSE(TimeSpan(1) >= TimeSpan(2));
    EXPECT_TRUE(TimeSpan(2) <= TimeSpan(2));

    // setValue() keeps its own rule: no negative values.
    EXPECT_THROW(span.setValue(-1), TimeException);
    EXPECT_EQ(30, span.value());
}

}  // namespace
