// The Event Log backend at its seam: recorders in place of the system's calls
// see every argument (Wine's Event Log accepts events and keeps none).
#include "platform/SystemLog.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EventLogCalls.h"

using namespace Brolix;

namespace {

struct Event {
    HANDLE log;
    WORD type;
    WORD category;
    DWORD id;
    std::vector<std::string> strings;
    bool hasUser;
    DWORD dataSize;
};

struct Recorded {
    std::vector<std::string> sources;
    std::vector<Event> events;
    std::vector<HANDLE> closed;
    bool refuse = false;
};
Recorded* g_recorded = nullptr;
HANDLE const FAKE_LOG = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x4242));

HANDLE WINAPI recordRegister(LPCSTR server, LPCSTR source) {
    g_recorded->sources.push_back(std::string(server == nullptr ? "" : "\\\\server:") + source);
    return FAKE_LOG;
}

BOOL WINAPI recordReport(HANDLE log, WORD type, WORD category, DWORD id, PSID user, WORD count, DWORD dataSize,
                         LPCSTR* strings, LPVOID) {
    Event event{log, type, category, id, {}, user != nullptr, dataSize};
    for (WORD i = 0; i < count; ++i) event.strings.push_back(strings[i]);
    g_recorded->events.push_back(event);
    if (g_recorded->refuse) {
        ::SetLastError(ERROR_LOG_FILE_FULL);
        return FALSE;
    }
    return TRUE;
}

BOOL WINAPI recordDeregister(HANDLE log) {
    g_recorded->closed.push_back(log);
    return TRUE;
}

// The recorders in place of the system's calls for the object's lifetime.
class RecordedCalls {
public:
    RecordedCalls() : m_saved(platform::eventLogCalls()) {
        g_recorded = &recorded;
        platform::eventLogCalls() = {recordRegister, recordReport, recordDeregister};
    }
    ~RecordedCalls() {
        platform::eventLogCalls() = m_saved;
        g_recorded = nullptr;
    }
    Recorded recorded;

private:
    platform::EventLogCalls m_saved;
};

platform::SystemLogRecord record(int priority, uint16_t eventId) {
    platform::SystemLogRecord r;
    r.priority = priority;
    r.identifier = "ardwen";
    r.message = "(9.10.09) cannot write the configuration file (output file: C:\\x\\a.conf; error code: 60.17)";
    r.fields = {{"BROLIX_MESSAGE_NUMBER", "9"}, {"BROLIX_PARAMETER_1", "C:\\x\\a.conf"}};
    r.eventId = eventId;
    return r;
}

TEST(SystemLogTest, EventsOfTheSourceWithTypeIdAndStrings) {
    RecordedCalls calls;
    {
        platform::SystemLog log("Brolix");
        EXPECT_EQ(log.destination(), "");
        std::string error;
        // Type from the priority: error up to 3, warning 4, information above.
        const struct {
            int priority;
            WORD type;
        } cases[] = {{0, EVENTLOG_ERROR_TYPE},   {2, EVENTLOG_ERROR_TYPE},       {3, EVENTLOG_ERROR_TYPE},
                     {4, EVENTLOG_WARNING_TYPE}, {5, EVENTLOG_INFORMATION_TYPE}, {7, EVENTLOG_INFORMATION_TYPE}};
        for (const auto& c : cases) EXPECT_TRUE(log.write(record(c.priority, 9), error)) << error;
        EXPECT_EQ(log.destination(), "Event Log");
        ASSERT_EQ(calls.recorded.events.size(), 6u);
        for (size_t i = 0; i < 6; ++i) EXPECT_EQ(calls.recorded.events[i].type, cases[i].type) << cases[i].priority;
        // One source, opened once, by name on this machine.
        EXPECT_EQ(calls.recorded.sources, std::vector<std::string>{"Brolix"});
        const Event& event = calls.recorded.events[0];
        EXPECT_EQ(event.log, FAKE_LOG);
        EXPECT_EQ(event.category, 0);
        EXPECT_EQ(event.id, 9u);
        EXPECT_FALSE(event.hasUser);
        EXPECT_EQ(event.dataSize, 0u);
        EXPECT_EQ(event.strings,
                  (std::vector<std::string>{
                      "(9.10.09) cannot write the configuration file (output file: C:\\x\\a.conf; error code: 60.17)",
                      "BROLIX_MESSAGE_NUMBER=9", "BROLIX_PARAMETER_1=C:\\x\\a.conf"}));
        EXPECT_TRUE(calls.recorded.closed.empty());

        // A refused event is reported with the system's code; the next one is tried.
        calls.recorded.refuse = true;
        EXPECT_FALSE(log.write(record(3, 0), error));
        EXPECT_EQ(error, "the Event Log refused the event (error 1502)");
    }
    EXPECT_EQ(calls.recorded.closed, std::vector<HANDLE>{FAKE_LOG});
}

TEST(SystemLogTest, TheSystemsEventLogTakesAnEvent) {
    platform::SystemLog log("BrolixTest");
    std::string error;
    EXPECT_TRUE(log.write(record(5, 11), error)) << error;
    EXPECT_EQ(log.destination(), "Event Log");
}

}  // namespace
