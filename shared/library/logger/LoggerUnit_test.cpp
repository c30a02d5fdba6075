#include "LoggerUnit.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <stdexcept>
#include <vector>

#include "IPCException.h"
#include "LogEntry.h"
#include "LoggerCentre.h"
#include "platform/Thread.h"

using namespace Brolix;

namespace {

/// Keeps every wire text it is given; can be told to throw instead.
class RecordingMessenger : public LogMessenger {
public:
    explicit RecordingMessenger(std::vector<std::string>& texts) : m_texts(texts) {}
    bool log(const std::string& wireText) override {
        if (throwIpc) throw IPCException(IPCException::IC_NONE);
        if (throwOther) throw std::runtime_error("messenger failed");
        m_texts.push_back(wireText);
        return answer;
    }
    bool answer = true;
    bool throwIpc = false;
    bool throwOther = false;

private:
    std::vector<std::string>& m_texts;
};

/// Restores the process-wide settings after each test.
class LoggerUnitTest : public ::testing::Test {
protected:
    LoggerUnitTest()
        : messenger(new RecordingMessenger(texts)),
          recorder(static_cast<RecordingMessenger*>(messenger.get())),
          centre(new LoggerCentre(9, messenger)) {}
    ~LoggerUnitTest() override {
        setDebugLevel(5);
        setMessageThreshold(0);
    }

    LogEntry lastEntry() {
        LogEntry entry;
        EXPECT_FALSE(texts.empty());
        if (!texts.empty()) {
            EXPECT_TRUE(parseEntry(texts.back(), entry));
        }
        return entry;
    }

    std::vector<std::string> texts;
    SmartPointer<LogMessenger> messenger;
    RecordingMessenger* recorder;
    SmartPointer<LoggerCentre> centre;
};

TEST_F(LoggerUnitTest, StampsDebugEntriesAndWritesItsOwnLines) {
    {
        LoggerUnit unit(centre, ARDWEN_MODULE);
        ASSERT_EQ(texts.size(), 1u);
        EXPECT_EQ(lastEntry().text, "LoggerUnit: Created logger for the Ardwen module.");
        EXPECT_EQ(lastEntry().debugLevel, 1);

        const int32_t before = static_cast<int32_t>(std::time(nullptr));
        EXPECT_TRUE(unit.debug(3, "Creating DOM tree"));
        const int32_t after = static_cast<int32_t>(std::time(nullptr));
        const LogEntry entry = lastEntry();
        EXPECT_EQ(entry.kind, LogEntry::KIND_DEBUG);
        EXPECT_EQ(entry.application, 9);
        EXPECT_EQ(entry.module, 10);
        EXPECT_GE(entry.time.value(), before);
        EXPECT_LE(entry.time.value(), after);
        EXPECT_EQ(entry.debugLevel, 3);
        EXPECT_EQ(entry.messageNumber, LogEntry::NO_NUMBER);
        EXPECT_EQ(entry.text, "Creating DOM tree");
        EXPECT_EQ(entry.thread, platform::currentThreadId());

        EXPECT_TRUE(unit.debug(2, std::string("from a string")));
        EXPECT_EQ(lastEntry().text, "from a string");
        EXPECT_TRUE(unit.debug(2, "Reading file \"%s\"...", ParamStream().addText("a")));
        EXPECT_EQ(lastEntry().text, "Reading file \"a\"...");
        EXPECT_TRUE(unit.debug(2, static_cast<const char*>(nullptr)));
        EXPECT_EQ(lastEntry().text, "");
    }
    EXPECT_EQ(lastEntry().text, "LoggerUnit: Destroyed logger for the Ardwen module.");
    EXPECT_EQ(texts.size(), 6u);
}

TEST_F(LoggerUnitTest, SendsMessagesWithTheirRawParameterText) {
    LoggerUnit unit(centre, ARDWEN_MODULE);
    const std::string params = ParamStream().addText("x.conf").addNumber(2).text();
    EXPECT_TRUE(unit.warning(8, ParamStream().addText("x.conf").addNumber(2)));
    LogEntry entry = lastEntry();
    const std::string FS(1, LogEntry::FIELD_SEPARATOR);
    EXPECT_EQ(texts.back(), "Brolix" + FS + "LOG" + FS + "9" + FS + "10" + FS + std::to_string(entry.time.value()) +
                                FS + "1" + FS + params + FS + std::to_string(platform::currentThreadId()) + FS +
                                "8" + FS);

    const struct {
        const char* name;
        bool (*call)(LoggerUnit&);
        int32_t severity, number;
        std::string text;
    } cases[] = {
        {"notice", [](LoggerUnit& u) { return u.notice(11); }, 0, 11, ""},
        {"error", [](LoggerUnit& u) { return u.error(9, ParamStream().addText("out")); }, 2, 9, "sout\x1A"},
        {"fatal", [](LoggerUnit& u) { return u.fatal(3); }, 4, 3, ""},
        {"fatal with parameters", [](LoggerUnit& u) { return u.fatal(10, ParamStream().addNumber(-1)); }, 4, 10,
         "n-1\x1A"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(c.call(unit)) << c.name;
        entry = lastEntry();
        EXPECT_EQ(entry.kind, LogEntry::KIND_MESSAGE) << c.name;
        EXPECT_EQ(entry.severity, c.severity) << c.name;
        EXPECT_EQ(entry.messageNumber, c.number) << c.name;
        EXPECT_EQ(entry.text, c.text) << c.name;
    }
}

TEST_F(LoggerUnitTest, FiltersOnDebugLevelAndMessageThreshold) {
    LoggerUnit unit(centre, ARDWEN_MODULE);
    const struct {
        int32_t level, threshold;
        bool (*call)(LoggerUnit&);
        bool written;
    } cases[] = {
        {5, 0, [](LoggerUnit& u) { return u.debug(5, "x"); }, true},
        {4, 0, [](LoggerUnit& u) { return u.debug(5, "x"); }, false},
        {4, 0, [](LoggerUnit& u) { return u.debug(5, "%s", ParamStream().addText("x")); }, false},
        {0, 0, [](LoggerUnit& u) { return u.debug(1, std::string("x")); }, false},
        {0, 0, [](LoggerUnit& u) { return u.debug(0, "x"); }, true},
        {0, 0, [](LoggerUnit& u) { return u.debug(-3, "x"); }, true},
        {5, 1, [](LoggerUnit& u) { return u.notice(11); }, false},
        {5, 1, [](LoggerUnit& u) { return u.warning(8, ParamStream()); }, true},
        {5, 2, [](LoggerUnit& u) { return u.warning(8, ParamStream()); }, false},
        {5, 2, [](LoggerUnit& u) { return u.error(9, ParamStream()); }, true},
        {5, 4, [](LoggerUnit& u) { return u.error(9, ParamStream()); }, false},
        {5, 4, [](LoggerUnit& u) { return u.fatal(2); }, true},
        {5, 5, [](LoggerUnit& u) { return u.fatal(2, ParamStream()); }, false},
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
        setDebugLevel(cases[i].level);
        setMessageThreshold(cases[i].threshold);
        const size_t before = texts.size();
        EXPECT_TRUE(cases[i].call(unit)) << "case " << i;
        EXPECT_EQ(texts.size() - before, cases[i].written ? 1u : 0u) << "case " << i;
    }
}

TEST_F(LoggerUnitTest, IgnoresOutOfRangeSettings) {
    setDebugLevel(3);
    setDebugLevel(6);
    setDebugLevel(-1);
    EXPECT_EQ(debugLevel(), 3);
    setMessageThreshold(5);
    setMessageThreshold(6);
    setMessageThreshold(-1);
    EXPECT_EQ(messageThreshold(), 5);
}

TEST_F(LoggerUnitTest, WritesNoOwnLinesWhenDebuggingIsOff) {
    setDebugLevel(0);
    { LoggerUnit unit(centre, ARDWEN_MODULE); }
    EXPECT_TRUE(texts.empty());
}

TEST_F(LoggerUnitTest, AnswersFalseWithoutCentreOrMessenger) {
    SmartPointer<LoggerCentre> noMessenger(new LoggerCentre(9, SmartPointer<LogMessenger>()));
    LoggerUnit withoutCentre(SmartPointer<LoggerCentre>(), ARDWEN_MODULE);
    LoggerUnit withoutMessenger(noMessenger, ARDWEN_MODULE);
    // A holder whose centre another holder has destroyed.
    SmartPointer<LoggerCentre> doomed(new LoggerCentre(9, messenger));
    SmartPointer<LoggerCentre> survivor(doomed);
    doomed.destroy();
    LoggerUnit withDestroyedCentre(survivor, ARDWEN_MODULE);
    EXPECT_TRUE(texts.empty());
    for (LoggerUnit* unit : {&withoutCentre, &withoutMessenger, &withDestroyedCentre}) {
        EXPECT_FALSE(unit->debug(1, "x"));
        EXPECT_FALSE(unit->debug(1, std::string("x")));
        EXPECT_FALSE(unit->debug(1, "%s", ParamStream()));
        EXPECT_FALSE(unit->notice(1));
        EXPECT_FALSE(unit->warning(1, ParamStream()));
        EXPECT_FALSE(unit->error(1, ParamStream()));
        EXPECT_FALSE(unit->fatal(1));
        EXPECT_FALSE(unit->fatal(1, ParamStream()));
        setDebugLevel(0);
        setMessageThreshold(5);
        EXPECT_TRUE(unit->debug(1, "filtered"));
        EXPECT_TRUE(unit->fatal(1));
        setDebugLevel(5);
        setMessageThreshold(0);
    }
    recorder->answer = false;
    LoggerUnit unit(centre, ARDWEN_MODULE);
    EXPECT_FALSE(unit.debug(1, "not delivered"));
    EXPECT_FALSE(unit.notice(1));
}

TEST_F(LoggerUnitTest, DebugCallsPassExceptionsMessageCallsSwallowThem) {
    for (bool ipc : {true, false}) {
        recorder->throwIpc = ipc;
        recorder->throwOther = !ipc;
        // The unit's own lines fail too, but quietly.
        LoggerUnit unit(centre, ARDWEN_MODULE);
        if (ipc) {
            EXPECT_THROW(unit.debug(1, "x"), IPCException);
            EXPECT_THROW(unit.debug(1, "%s", ParamStream()), IPCException);
        } else {
            EXPECT_THROW(unit.debug(1, std::string("x")), std::runtime_error);
        }
        EXPECT_FALSE(unit.notice(1));
        EXPECT_FALSE(unit.warning(1, ParamStream()));
        EXPECT_FALSE(unit.error(1, ParamStream()));
        EXPECT_FALSE(unit.fatal(1));
    }
    EXPECT_TRUE(texts.empty());
}

/// A messenger that logs through another unit while it delivers an entry.
class NestingMessenger : public LogMessenger {
public:
    NestingMessenger(std::vector<std::string>& texts, LoggerUnit*& inner) : m_texts(texts), m_inner(inner) {}
    bool log(const std::string& wireText) override {
        if (m_inner != nullptr && isDebugEntry(wireText)) m_inner->warning(77, ParamStream().addText("nested"));
        m_texts.push_back(wireText);
        return true;
    }

private:
    std::vector<std::string>& m_texts;
    LoggerUnit*& m_inner;
};

TEST_F(LoggerUnitTest, ANestedCallOnTheSameThreadKeepsBothEntriesWhole) {
    LoggerUnit* inner = nullptr;
    SmartPointer<LoggerCentre> nestingCentre(
        new LoggerCentre(4, SmartPointer<LogMessenger>(new NestingMessenger(texts, inner))));
    LoggerUnit innerUnit(centre, 2);
    LoggerUnit outer(nestingCentre, ARDWEN_MODULE);
    inner = &innerUnit;
    texts.clear();
    const std::string longText(300, 'o');
    EXPECT_TRUE(outer.debug(2, longText));
    ASSERT_EQ(texts.size(), 2u);
    LogEntry first, second;
    ASSERT_TRUE(parseEntry(texts[0], first));
    ASSERT_TRUE(parseEntry(texts[1], second));
    EXPECT_EQ(first.text, "snested\x1A");
    EXPECT_EQ(first.module, 2);
    EXPECT_EQ(first.application, 9);
    EXPECT_EQ(second.text, longText);
    EXPECT_EQ(second.module, 10);
    EXPECT_EQ(second.application, 4);
    inner = nullptr;
}

/// Prints every text it receives to standard error.
class PrintingMessenger : public LogMessenger {
public:
    bool log(const std::string& wireText) override {
        LogEntry entry;
        std::fprintf(stderr, "[%s]\n", parseEntry(wireText, entry) ? entry.text.c_str() : "?");
        return true;
    }
};

TEST(LoggerUnitExitTest, AUnitDestroyedWithTheStaticObjectsStillWritesItsLastLine) {
    EXPECT_EXIT(
        {
            static SmartPointer<LoggerCentre> centre(
                new LoggerCentre(9, SmartPointer<LogMessenger>(new PrintingMessenger)));
            static LoggerUnit unit(centre, ARDWEN_MODULE);
            unit.debug(1, std::string(100, 'x'));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0),
        "Created.*\n\\[x+\\]\n\\[LoggerUnit: Destroyed logger for the Ardwen module\\.\\]");
}

TEST(LoggerNamesTest, NamesModulesAndSeverities) {
    const struct {
        int32_t module;
        const char* name;
    } modules[] = {{0, "Core"},   {1, "Configuration"}, {2, "Logger"},      {3, "Protocol"},
                   {4, "Time"},   {5, "Cron"},          {6, "IPC"},         {10, "Ardwen"},
                   {11, "<<Unknown>>"}, {58, "<<Unknown>>"}, {-1, "<<Unknown>>"}, {7, "<<Unknown>>"}};
    for (const auto& m : modules) EXPECT_EQ(moduleName(m.module), m.name) << m.module;

    const char* severities[] = {"NOTICE", "WARNING", "ERROR", "CRITICAL", "FATAL", "", ""};
    for (int32_t s = 0; s < 7; ++s) EXPECT_EQ(severityName(s), severities[s]) << s;
    EXPECT_EQ(severityName(-1), "");
}

TEST(AgentNotesTest, StayOffOnceDisabled) {
    EXPECT_EXIT(
        {
            const bool before = agentNotesEnabled();
            disableAgentNotes();
            disableAgentNotes();
            std::exit(before && !agentNotesEnabled() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
