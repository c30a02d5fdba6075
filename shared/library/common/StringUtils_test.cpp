#include "StringUtils.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

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
        // A question mark next to a star is still one character.
        {"a*?", "a", false},
        {"a*?", "ab", true},
        {"*??", "a", false},
        {"*??", "ab", true},
        {"?*?", "a", false},
        {"?*?", "ab", true},
        {"*?b", "b", false},
        {"*?b", "ab", true},
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

// A plain matcher that tries every split: whether `text` from t matches
// `pattern` from p.
bool fullMatch(const std::string& pattern, size_t p, const std::string& text, size_t t) {
    if (p == pattern.size()) return t == text.size();
    if (pattern[p] == '*') {
        for (size_t rest = t; rest <= text.size(); ++rest) {
            if (fullMatch(pattern, p + 1, text, rest)) return true;
        }
        return false;
    }
    return t < text.size() && (pattern[p] == '?' || pattern[p] == text[t]) && fullMatch(pattern, p + 1, text, t + 1);
}

// Every pattern of up to five characters from "ab*?" against every text of up to
// six from "ab": a match is always one the plain matcher finds too, and without
// a star the two agree (the scan only passes over some splits of a star; the
// special cases "**" and the empty text aside).
TEST(StringUtilsTest, MatchWildcardNeverAcceptsWhatAFullMatcherRejects) {
    std::vector<std::string> patterns = {""};
    std::vector<std::string> texts = {""};
    for (size_t from = 0; patterns.back().size() < 5;) {
        const size_t to = patterns.size();
        for (size_t i = from; i < to; ++i) {
            for (char c : std::string("ab*?")) patterns.push_back(patterns[i] + c);
        }
        from = to;
    }
    for (size_t from = 0; texts.back().size() < 6;) {
        const size_t to = texts.size();
        for (size_t i = from; i < to; ++i) {
            for (char c : std::string("ab")) texts.push_back(texts[i] + c);
        }
        from = to;
    }
    for (const std::string& pattern : patterns) {
        for (const std::string& text : texts) {
            const bool match = matchWildcard(pattern, text);
            const bool full = fullMatch(pattern, 0, text, 0);
            if (match) {
                EXPECT_TRUE(full) << "pattern '" << pattern << "' text '" << text << "'";
            }
            if (pattern.find('*') == std::string::npos && !pattern.empty()) {
                EXPECT_EQ(full, match) << "pattern '" << pattern << "' text '" << text << "'";
            }
        }
    }
}

}  // namespace
