#include "ParamStream.h"

#include <gtest/gtest.h>

#include <climits>

using namespace Brolix;

namespace {

TEST(ParamStreamTest, WritesTypeLettersValuesAndSeparators) {
    struct Case {
        const char* name;
        ParamStream stream;
        std::string expected;
    };
    const std::string tail("abc\x1A", 4);
    const Case cases[] = {
        {"text", ParamStream().addText("abc"), "sabc\x1A"},
        {"empty text", ParamStream().addText(""), "s\x1A"},
        {"text ending in the separator", ParamStream().addText(tail), "sabc\x1A"},
        {"lone separator", ParamStream().addText("\x1A"), "s\x1A"},
        {"null text", ParamStream().addText(static_cast<const char*>(nullptr)), "s\x1A"},
        {"negative number", ParamStream().addNumber(-7), "n-7\x1A"},
        {"extreme numbers", ParamStream().addNumber(INT32_MIN).addNumber(INT32_MAX),
         "n-2147483648\x1An2147483647\x1A"},
        {"chain", ParamStream().addText(std::string("x.conf")).addNumber(2).addText(""),
         "sx.conf\x1An2\x1As\x1A"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.stream.text(), c.expected) << c.name;
}

TEST(ParamStreamTest, ChainsOnANamedStreamAndCopiesByValue) {
    ParamStream stream;
    stream.addText("a").addNumber(1);
    ParamStream copy = stream;
    stream.addText("b");
    EXPECT_EQ(copy.text(), "sa\x1An1\x1A");
    EXPECT_EQ(stream.text(), "sa\x1An1\x1Asb\x1A");
}

TEST(ExpandFormatTest, ReplacesConversionsByTheRules) {
    struct Case {
        const char* format;
        std::string params;
        const char* expected;
    };
    const ParamStream a = ParamStream().addText("a");
    const Case cases[] = {
        {"Reading file \"%s\"...", a.text(), "Reading file \"a\"..."},
        {"no conversions", a.text(), "no conversions"},
        {"%s and %s", a.text(), "a and <\?\?\?>"},
        {"%s", "", "<\?\?\?>"},
        {"%i", ParamStream().addText("x").text(), "\\x\\"},
        {"%d", ParamStream().addNumber(3).text(), "\\3\\"},
        {"%i/%f", ParamStream().addNumber(-4).addNumber(5).text(), "-4/5"},
        {"%s %i", ParamStream().addNumber(1).addText("t").text(), "\\1\\ \\t\\"},
        {"%x", a.text(), "\\a\\"},
        {"%p", a.text(), "\\a\\"},
        {"end %", a.text(), "end <\?\?\?>"},
        {"%s %", ParamStream().addText("a").addText("b").text(), "a <\?\?\?>"},
        {"100%%", a.text(), "100\\a\\"},
        {"100%%", "", "100<\?\?\?>"},
        // A parameter whose type letter is '%' satisfies '%%' and stays for the next conversion.
        {"%%%s", "%x\x1A", "%\\x\\"},
        {"%s,%s,%s", "sa\x1A\x1Asc\x1A", "a,\\\\,c"},
        {"%s|%s", "sa\x1Asb", "a|b"},
        {"%s", "sa\x1Asb\x1Asc\x1A", "a"},
        {"", a.text(), ""},
    };
    for (const Case& c : cases) {
        std::string text = c.format;
        expandFormat(text, c.params);
        EXPECT_EQ(text, c.expected) << "format: " << c.format;
        std::string out = "old";
        expandFormat(c.format, c.params, out);
        EXPECT_EQ(out, c.expected) << "format: " << c.format;
    }
}

}  // namespace
