#include "StringUtils.h"

#include <gtest/gtest.h>

#include <climits>

using namespace Brolix;

namespace {

TEST(StringUtilsTest, StripQuotes) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"", ""},           {"\"", ""},           {"'", ""},
        {"\"a b\"", "a b"}, {"'x'", "x"},         {"\"\"", ""},
        {"\"a'", "\"a'"},   {"a\"b\"", "a\"b\""}, {"\"in\"side\"", "in\"side"},
        {"plain", "plain"},
    };
    for (const auto& c : cases) {
        std::string text(c.in);
        stripQuotes(text);
        EXPECT_EQ(text, c.out) << "input: " << c.in;
    }
}

TEST(StringUtilsTest, SplitAt) {
    const struct {
        const char* in;
        const char* head;
        const char* rest;
    } cases[] = {
        {"--debug=4", "--debug", "4"},
        {"--installdir", "--installdir", ""},
        {"=x", "", "x"},
        {"a=b=c", "a", "b=c"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        std::string text(c.in);
        EXPECT_EQ(splitAt(text, '='), c.head) << "input: " << c.in;
        EXPECT_EQ(text, c.rest) << "input: " << c.in;
    }
}

TEST(StringUtilsTest, SplitString) {
    using V = std::vector<std::string>;
    const struct {
        const char* text;
        uint32_t max;
        bool skip;
        V expected;
    } cases[] = {
        {"a,,b,", 0, false, V{"a", "", "b"}},
        {"a,,b,", 0, true, V{"a", "b"}},
        {"a,,b,", 2, false, V{"a", ",b,"}},
        {"a,,b,", 2, true, V{"a", ",b,"}},
        {",,a", 2, true, V{"a"}},
        {"a,b,c", 1, false, V{"a,b,c"}},
        {"a,b,c", 2147483647u, false, V{"a", "b", "c"}},
        {",a", 0, false, V{"", "a"}},
        {",", 0, false, V{""}},
        {"abc", 0, false, V{"abc"}},
        {"", 0, false, V{}},
    };
    for (const auto& c : cases) {
        V fields{"stale"};
        splitString(c.text, ',', fields, c.max, c.skip);
        EXPECT_EQ(fields, c.expected) << "text: " << c.text << " max " << c.max << " skip " << c.skip;
    }
}

TEST(StringUtilsTest, PadMatchAndNumbers) {
    std::string text("ab");
    padRight(text, 5, '.');
    EXPECT_EQ(text, "ab...");
    padRight(text, 3, '.');
    EXPECT_EQ(text, "ab...");

    EXPECT_TRUE(matchesAt("2024-01", "-", 4));
    EXPECT_FALSE(matchesAt("2024-01", "-", 5));
    EXPECT_TRUE(matchesAt("abc", "", 3));
    EXPECT_FALSE(matchesAt("abc", "", 4));
    EXPECT_FALSE(matchesAt("abc", "cd", 2));
    EXPECT_FALSE(matchesAt("abc", "a", std::string::npos));

    EXPECT_EQ(intToString(0), "0");
    EXPECT_EQ(intToString(-42), "-42");
    EXPECT_EQ(intToString(INT32_MIN), "-2147483648");
    EXPECT_EQ(intToString(INT32_MAX), "2147483647");
}

TEST(StringUtilsTest, IsDigits) {
    EXPECT_TRUE(isDigits("a1", 1));
    EXPECT_FALSE(isDigits("a1", 0));
    EXPECT_FALSE(isDigits("a1", 2));  // past the end
    EXPECT_FALSE(isDigits(std::string(1, '\xb9'), 0));
    EXPECT_TRUE(isDigits("0123456789", -1));
    EXPECT_TRUE(isDigits("", -1));
    EXPECT_FALSE(isDigits("12a", -1));
    EXPECT_FALSE(isDigits("1 2"));
}

TEST(StringUtilsTest, MatchWildcard) {
    const struct {
        const char* pattern;
        const char* text;
        bool match;
    } cases[] = {
        {"--*", "--installdir=x", true},
        {"--*", "--", true},
        {"--*", "-x", false},
        {"--*", "x--", false},
        {"*", "", true},
        {"*", "anything", true},
        {"**", "", false},
        {"**", "ab", true},
        {"?", "a", true},
        {"?", "ab", false},
        {"?", "", false},
        {"?*", "a", true},
        {"?*", "abc", true},
        {"*?", "abc", true},
        {"a?c", "abc", true},
        {"a?c", "abbc", false},
        {"a*c", "abbbc", true},
        {"a*c", "abcd", false},
        {"*.log", "debug.log", true},
        {"*.log", "debug.log.gz", false},
        {"*aab", "aaab", false},  // the scan does not backtrack
        {"*ab", "aab", true},
        {"A*", "abc", false},
        {"", "", false},
        {"", "x", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(matchWildcard(c.pattern, c.text), c.match)
            << "pattern '" << c.pattern << "' text '" << c.text << "'";
    }
}

}  // namespace
