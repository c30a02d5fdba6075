#include "LogMessenger.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "LogEntry.h"
#include "SmartPointer.h"
#include "SystemInfo.h"
#include "TestDirectory.h"
#include "TimeException.h"
#include "testing/TestSystem.h"

using namespace Brolix;
using test::exists;
using test::readAll;

namespace {

LogEntry debugEntry(const std::string& text) {
    LogEntry entry;
    entry.kind = LogEntry::KIND_DEBUG;
    entry.application = 9;
    entry.module = 10;
    entry.time = DateTime(1273149000);
    entry.debugLevel = 3;
    entry.text = text;
    entry.thread = 1234;
    return entry;
}

/// Runs every test in a scratch working directory with a resource store of its own.
class LogMessengerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_store.usable());
        m_oldDir = std::filesystem::current_path();
        std::filesystem::current_path(m_dir.path());
    }
    void TearDown() override { std::filesystem::current_path(m_oldDir); }

    /// A path in the directory; "/" separates folders.
    std::string path(std::string name) const {
        for (char& c : name)
            if (c == '/') c = static_cast<char>(std::filesystem::path::preferred_separator);
        return m_dir.file(name);
    }

    test::TestDirectory m_dir;
    test::ResourceStore m_store;
    test::ScopedVariable m_noKeyPath{"BROLIX_ENV"};
    std::filesystem::path m_oldDir;
};

TEST_F(LogMessengerTest, WritesTheFormattedLineToTheLogFile) {
    LogMessenger messenger;
    ASSERT_TRUE(messenger.setLogFile(path("Log/debug.log")));
    const LogEntry entry = debugEntry("Creating DOM tree");
    EXPECT_TRUE(messenger.log(serializeEntry(entry)));
    EXPECT_EQ(readAll(path("Log/debug.log")), formatLine(entry) + "\r\n");
    EXPECT_FALSE(exists(path("Brolix_Debug.log")));
}

TEST_F(LogMessengerTest, WritesToTheDefaultFileUntilGivenAPath) {
    LogMessenger messenger;
    EXPECT_TRUE(messenger.log(serializeEntry(debugEntry("early"))));
    EXPECT_EQ(readAll(path("Brolix_Debug.log")), formatLine(debugEntry("early")) + "\r\n");
}

TEST_F(LogMessengerTest, UnreadableWireTextsWriteNothing) {
    LogMessenger messenger;
    messenger.setLogFile(path("debug.log"));
    const std::string good = serializeEntry(debugEntry("x"));
    EXPECT_FALSE(messenger.log("Brolik" + good.substr(6)));
    EXPECT_FALSE(messenger.log(""));
    EXPECT_FALSE(
        messenger.log("Brolix\x1CTRACE\x1C"
                      "9\x1C"));

    LogEntry negative = debugEntry("y");
    std::string wire = serializeEntry(negative);
    const std::string time = std::to_string(negative.time.value());
    wire.replace(wire.find(time), time.size(), "-1");
    EXPECT_THROW(messenger.log(wire), TimeException);
    EXPECT_FALSE(exists(path("debug.log")));
}

TEST_F(LogMessengerTest, UnreadableOpeningTimeIsWrittenInPlaceOfTheLine) {
    std::ofstream(path("debug.log"), std::ios::binary) << "old\r\n";
    ASSERT_EQ(setResource("coreLogOpened", "not a time"), 0);
    LogMessenger messenger;
    messenger.setLogFile(path("debug.log"));

    EXPECT_TRUE(messenger.log(serializeEntry(debugEntry("first"))));
    EXPECT_TRUE(messenger.log(serializeEntry(debugEntry("second"))));
    const std::string text = readAll(path("debug.log"));
    const std::string second = formatLine(debugEntry("second")) + "\r\n";
    ASSERT_EQ(text.substr(0, 5), "old\r\n");
    ASSERT_GE(text.size(), second.size());
    EXPECT_EQ(text.substr(text.size() - second.size()), second);
    const std::string report = text.substr(5, text.size() - 5 - second.size());
    EXPECT_EQ(report.find("Time: "), 0u) << report;
    EXPECT_NE(report.find("LogMessenger.(101)"), std::string::npos) << report;
    EXPECT_EQ(report.find("first"), std::string::npos);
}

TEST_F(LogMessengerTest, ReleasingTheLastShareClosesTheLogFile) {
    SmartPointer<LogMessenger> messenger(new LogMessenger);
    messenger->setLogFile(path("debug.log"));
    ASSERT_TRUE(messenger->log(serializeEntry(debugEntry("x"))));
    SmartPointer<LogMessenger> other(messenger);
    messenger.release();
    EXPECT_EQ(test::openHandles(path("debug.log")), 1);
    other.release();
    EXPECT_EQ(test::openHandles(path("debug.log")), 0);
}

}  // namespace
