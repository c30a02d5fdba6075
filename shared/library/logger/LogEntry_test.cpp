#include "LogEntry.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <memory>

#include "ParamStream.h"
#include "TimeException.h"
#include "testing/TestSystem.h"

using namespace Brolix;

namespace {

const std::string FS(1, LogEntry::FIELD_SEPARATOR);

std::string wire(std::initializer_list<std::string> fields) {
    std::string text;
    for (const std::string& field : fields) text += field + FS;
    return text;
}

LogEntry messageEntry() {
    LogEntry entry;
    entry.kind = LogEntry::KIND_MESSAGE;
    entry.application = 9;
    entry.module = 10;
    entry.time.setValue(1273156200);
    entry.severity = 1;
    entry.messageNumber = 8;
    entry.text = ParamStream().addText("x.conf").addNumber(2).text();
    entry.thread = 1234;
    return entry;
}

LogEntry debugEntry() {
    LogEntry entry;
    entry.kind = LogEntry::KIND_DEBUG;
    entry.application = 9;
    entry.module = 10;
    entry.time.setValue(1273156200);
    entry.debugLevel = 3;
    entry.text = "Creating DOM tree";
    entry.thread = 1234;
    return entry;
}

void expectSameEntry(const LogEntry& actual, const LogEntry& expected) {
    EXPECT_EQ(actual.kind, expected.kind);
    EXPECT_EQ(actual.application, expected.application);
    EXPECT_EQ(actual.module, expected.module);
    EXPECT_EQ(actual.time.value(), expected.time.value());
    EXPECT_EQ(actual.severity, expected.severity);
    EXPECT_EQ(actual.debugLevel, expected.debugLevel);
    EXPECT_EQ(actual.messageNumber, expected.messageNumber);
    EXPECT_EQ(actual.text, expected.text);
    EXPECT_EQ(actual.thread, expected.thread);
}

TEST(SerializeEntryTest, WritesTheWireTextByteForByte) {
    EXPECT_EQ(serializeEntry(messageEntry()),
              wire({"Brolix", "LOG", "9", "10", "1273156200", "1", "sx.conf\x1An2\x1A", "1234", "8"}));
    EXPECT_EQ(serializeEntry(debugEntry()),
              wire({"Brolix", "DEBUG", "9", "10", "1273156200", "3", "Creating DOM tree", "1234"}));

    LogEntry entry = debugEntry();
    entry.thread = 3000000000u;  // written as the signed 32-bit number
    entry.module = -4;
    entry.text.clear();
    std::string out = "stale content";
    serializeEntry(entry, out);
    EXPECT_EQ(out, wire({"Brolix", "DEBUG", "9", "-4", "1273156200", "3", "", "-1294967296"}));
}

TEST(SerializeEntryTest, KeepsLaterFieldsInPlaceWhenTheTextHoldsAFieldSeparator) {
    LogEntry entry = messageEntry();
    entry.text = "a" + FS + "b" + FS;
    const std::string text = serializeEntry(entry);
    EXPECT_EQ(text, wire({"Brolix", "LOG", "9", "10", "1273156200", "1", "a b ", "1234", "8"}));
    LogEntry back;
    ASSERT_TRUE(parseEntry(text, back));
    EXPECT_EQ(back.thread, 1234u);
    EXPECT_EQ(back.messageNumber, 8);
}

TEST(ParseEntryTest, RoundTripsEveryField) {
    LogEntry extreme = messageEntry();
    extreme.application = INT32_MIN;
    extreme.module = INT32_MAX;
    extreme.time.setValue(INT32_MAX);
    extreme.severity = -3;
    extreme.messageNumber = -1;
    extreme.text = ParamStream().addText("").addText("\x1A").text();
    extreme.thread = UINT32_MAX;

    LogEntry emptyDebug = debugEntry();
    emptyDebug.text.clear();
    emptyDebug.time.setValue(0);
    emptyDebug.thread = 0;

    for (const LogEntry& entry : {messageEntry(), debugEntry(), extreme, emptyDebug}) {
        LogEntry back;
        back.severity = entry.severity;      // not carried by debug entries
        back.debugLevel = entry.debugLevel;  // not carried by message entries
        ASSERT_TRUE(parseEntry(serializeEntry(entry), back));
        expectSameEntry(back, entry);
    }
    // Debug entries always read back without a message number.
    LogEntry numbered = debugEntry();
    numbered.messageNumber = 5;
    LogEntry back;
    ASSERT_TRUE(parseEntry(serializeEntry(numbered), back));
    EXPECT_EQ(back.messageNumber, LogEntry::NO_NUMBER);
}

TEST(ParseEntryTest, RejectsUnknownFirstTwoFieldsWithoutTouchingTheEntry) {
    const std::string cases[] = {
        "",
        "Brolix",
        wire({"Brolixx", "LOG", "9"}),
        wire({"brolix", "LOG", "9"}),
        wire({"Brolix", "LOGX", "9"}),
        wire({"Brolix", "debug", "9"}),
        wire({"Brolix", "", "9"}),
        "BrolixXLOG" + FS + "9",
    };
    for (const std::string& text : cases) {
        LogEntry entry = messageEntry();
        EXPECT_FALSE(parseEntry(text, entry)) << text;
        expectSameEntry(entry, messageEntry());
    }
}

TEST(ParseEntryTest, ReadsNumbersLikeTextToLongAndMissingFieldsAsEmpty) {
    struct Case {
        std::string text;
        int32_t application, module, time, level;
        std::string entryText;
        uint32_t thread;
    };
    const Case cases[] = {
        {"Brolix" + FS + "DEBUG", 0, 0, 0, 0, "", 0},
        {wire({"Brolix", "DEBUG", "9", "10"}), 9, 10, 0, 0, "", 0},
        {"Brolix" + FS + "DEBUG" + FS + "9" + FS + "10" + FS + "77" + FS + "2" + FS + "tail", 9, 10, 77, 2,
         "tail", 0},
        {wire({"Brolix", "DEBUG", " +9", "\t-10", "12abc", "x", "t", "  42 "}), 9, -10, 12, 0, "t", 42},
        {wire({"Brolix", "DEBUG", "99999999999", "-99999999999", "0", "5", "", "-1"}), INT32_MAX, INT32_MIN,
         0, 5, "", UINT32_MAX},
    };
    for (const Case& c : cases) {
        LogEntry entry;
        ASSERT_TRUE(parseEntry(c.text, entry)) << c.text;
        EXPECT_EQ(entry.kind, LogEntry::KIND_DEBUG);
        EXPECT_EQ(entry.application, c.application) << c.text;
        EXPECT_EQ(entry.module, c.module) << c.text;
        EXPECT_EQ(entry.time.value(), c.time) << c.text;
        EXPECT_EQ(entry.debugLevel, c.level) << c.text;
        EXPECT_EQ(entry.text, c.entryText) << c.text;
        EXPECT_EQ(entry.thread, c.thread) << c.text;
        EXPECT_EQ(entry.messageNumber, LogEntry::NO_NUMBER);
    }

    LogEntry message;
    ASSERT_TRUE(parseEntry(wire({"Brolix", "LOG", "9", "10", "5", "2", "p"}), message));
    EXPECT_EQ(message.kind, LogEntry::KIND_MESSAGE);
    EXPECT_EQ(message.severity, 2);
    EXPECT_EQ(message.thread, 0u);
    EXPECT_EQ(message.messageNumber, 0);
}

TEST(ParseEntryTest, NegativeTimeThrowsAndLeavesTheEntryAlone) {
    LogEntry entry = messageEntry();
    EXPECT_THROW(parseEntry(wire({"Brolix", "DEBUG", "1", "2", "-1", "3", "t", "4"}), entry), TimeException);
    expectSameEntry(entry, messageEntry());
}

TEST(IsDebugEntryTest, LooksOnlyAtTheSecondField) {
    const struct {
        std::string text;
        bool debug;
    } cases[] = {
        {serializeEntry(debugEntry()), true},
        {serializeEntry(messageEntry()), false},
        {"Brolix" + FS + "DEBUG", true},
        {std::string("Brolix" + FS + "DEBUG").substr(0, 11), false},
        {"XXXXXXXDEBUG", true},
        {"Brolix" + FS + "DEBU", false},
        {"", false},
    };
    for (const auto& c : cases) EXPECT_EQ(isDebugEntry(c.text), c.debug) << c.text;
}

TEST(MessageIdentityTest, PadsModuleAndNumber) {
    const struct {
        int32_t application, module, number;
        const char* expected;
    } cases[] = {
        {9, 10, 11, "(9.10.11)"},   {9, 10, 5, "(9.10.05)"},    {9, 10, 0, "(9.10.00)"},
        {9, 10, 100, "(9.10.100)"}, {9, 7, 99999, "(9.07)   "}, {9, 10, 99999, "(9.10)   "},
        {9, -5, -3, "(9.0-5.-3)"},  {-1, 0, 9, "(-1.00.09)"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(messageIdentity(c.application, c.module, c.number), c.expected) << c.expected;
}

// The time stamp is local time; the exact lines are checked in a child process
// that runs in UTC (a zone in the form every C runtime reads).
TEST(FormatLineTest, WritesExactLines) {
    if (test::testRole() != "in UTC") {
        test::ChildOptions options;
        options.setVariables.emplace_back("TZ", "UTC0");
        const std::unique_ptr<test::ChildProcess> child = test::startThisTest("in UTC", options);
        const test::ProcessEnd end = child->wait();
        EXPECT_EQ(end.exitCode, 0) << child->problem() << child->output() << child->errors();
        EXPECT_NE(child->output().find("[  PASSED  ] 1 test."), std::string::npos) << child->output();
        return;
    }
    const std::string stamp = "2010-05-06T14:30:00 ";
    LogEntry severity7 = messageEntry();
    severity7.severity = 7;
    LogEntry notice = messageEntry();
    notice.severity = 0;
    notice.messageNumber = 11;
    notice.text.clear();
    LogEntry oddParams = messageEntry();
    oddParams.severity = 3;
    oddParams.text =
        "sa\x1B"
        "xb\x1A";
    LogEntry longPrefix = debugEntry();
    longPrefix.debugLevel = 100;
    longPrefix.module = 7;
    longPrefix.thread = 4000000000u;

    const struct {
        const char* name;
        LogEntry entry;
        std::string expected;
    } cases[] = {
        {"debug", debugEntry(), "debug-3  " + stamp + "(9.10)    1234: Creating DOM tree"},
        {"warning", messageEntry(),
         "WARNING  " + stamp + "(9.10.08) 1234: (Message not found.) Parameters: x.conf  2  "},
        {"unknown severity", severity7,
         "         " + stamp + "(9.10.08) 1234: (Message not found.) Parameters: x.conf  2  "},
        {"no parameters", notice, "NOTICE   " + stamp + "(9.10.11) 1234: (Message not found.)"},
        {"escape character", oddParams,
         "CRITICAL " + stamp + "(9.10.08) 1234: (Message not found.) Parameters: a  b  "},
        {"wide prefix", longPrefix, "debug-100 " + stamp + "(9.07)    4000000000: Creating DOM tree"},
    };
    for (const auto& c : cases) EXPECT_EQ(formatLine(c.entry), c.expected) << c.name;
}

}  // namespace
