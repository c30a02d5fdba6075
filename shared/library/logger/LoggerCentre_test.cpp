#include "LoggerCentre.h"

#include <gtest/gtest.h>

#include <vector>

#include "LogEntry.h"
#include "LoggerUnit.h"

using namespace Brolix;

namespace {

/// Records the wire texts it receives and reports its own destruction.
class TracingMessenger : public LogMessenger {
public:
    explicit TracingMessenger(std::vector<std::string>& events) : m_events(events) {}
    ~TracingMessenger() override { m_events.push_back("messenger destroyed"); }
    bool log(const std::string& wireText) override {
        m_events.push_back(wireText);
        return true;
    }

private:
    std::vector<std::string>& m_events;
};

TEST(LoggerCentreTest, StampsTheApplicationAndForwardsTheWireText) {
    std::vector<std::string> events;
    LoggerCentre centre(9, SmartPointer<LogMessenger>(new TracingMessenger(events)));
    LogEntry entry;
    entry.kind = LogEntry::KIND_MESSAGE;
    entry.application = 3;
    entry.module = 10;
    entry.messageNumber = 11;
    EXPECT_TRUE(centre.log(entry));
    EXPECT_EQ(entry.application, 9);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], serializeEntry(entry));
    LogEntry back;
    ASSERT_TRUE(parseEntry(events[0], back));
    EXPECT_EQ(formatLine(back).substr(29, 10), "(9.10.11) ");
}

TEST(LoggerCentreTest, AnswersFalseWithoutMessenger) {
    LoggerCentre centre(9, SmartPointer<LogMessenger>());
    LogEntry entry;
    EXPECT_FALSE(centre.log(entry));
    EXPECT_EQ(entry.application, 9);
}

TEST(LoggerCentreTest, LastReleaseTearsDownTheMessengerAfterTheUnitsLastLine) {
    std::vector<std::string> events;
    SmartPointer<LogMessenger> messenger(new TracingMessenger(events));
    SmartPointer<LoggerCentre> centre(new LoggerCentre(9, messenger));
    SmartPointer<LoggerUnit> unit(new LoggerUnit(centre, ARDWEN_MODULE));
    messenger.release();
    EXPECT_EQ(centre->application(), 9);
    unit.release();
    ASSERT_EQ(events.size(), 2u);
    centre.release();
    ASSERT_EQ(events.size(), 3u);
    LogEntry last;
    ASSERT_TRUE(parseEntry(events[1], last));
    EXPECT_EQ(last.text, "LoggerUnit: Destroyed logger for the Ardwen module.");
    EXPECT_EQ(events[2], "messenger destroyed");
}

}  // namespace
