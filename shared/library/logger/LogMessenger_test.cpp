#include "LogMessenger.h"

#include <dirent.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "LogEntry.h"
#include "SmartPointer.h"
#include "SystemInfo.h"
#include "TimeException.h"

using namespace Brolix;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

int openDescriptors(const std::string& path) {
    char real[4096];
    if (::realpath(path.c_str(), real) == nullptr) return 0;
    int count = 0;
    DIR* fds = ::opendir("/proc/self/fd");
    while (dirent* entry = ::readdir(fds)) {
        char target[4096];
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        const ssize_t length = ::readlink(link.c_str(), target, sizeof target - 1);
        if (length > 0 && std::string(target, length) == real) ++count;
    }
    ::closedir(fds);
    return count;
}

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
        char pattern[] = "/tmp/messengerXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ASSERT_NE(::getcwd(m_oldDir, sizeof m_oldDir), nullptr);
        ASSERT_EQ(::chdir(m_dir.c_str()), 0);
        ::setenv("BROLIX_REGISTRY", (m_dir + "/registry.reg").c_str(), 1);
        ::unsetenv("BROLIX_ENV");
    }
    void TearDown() override {
        ::unsetenv("BROLIX_REGISTRY");
        ASSERT_EQ(::chdir(m_oldDir), 0);
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    std::string path(const std::string& name) const { return m_dir + "/" + name; }

    std::string m_dir;
    char m_oldDir[4096];
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
    EXPECT_FALSE(messenger.log("Brolix\x1CTRACE\x1C" "9\x1C"));

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
    EXPECT_EQ(openDescriptors(path("debug.log")), 1);
    other.release();
    EXPECT_EQ(openDescriptors(path("debug.log")), 0);
}

}  // namespace
