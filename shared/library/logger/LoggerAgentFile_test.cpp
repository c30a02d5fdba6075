#include "LoggerAgentFile.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "DateTime.h"
#include "LoggerAgentFileTesting.h"
#include "Monopoly.h"
#include "SystemInfo.h"
#include "TimeException.h"

using namespace Brolix;
using test::appendFromProcesses;
using test::countLines;
using test::exists;
using test::expectEveryLineOnce;
using test::holdGuardInChild;
using test::LoggerAgentFileTest;
using test::readAll;
using test::stressLine;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(LoggerAgentFileTest, FirstLineCreatesFileAndRecordsOpeningTime) {
    LoggerAgentFile agent;
    const std::string log = path("first.log");
    ASSERT_TRUE(agent.setFile(log));
    EXPECT_EQ(agent.location(), "file:///" + log);
    EXPECT_TRUE(agent.isReady());
    EXPECT_FALSE(exists(log));  // nothing is created before the first line

    const DateTime before;
    ASSERT_TRUE(agent.write("alpha"));
    ASSERT_TRUE(agent.write(""));
    ASSERT_TRUE(agent.write("beta"));
    const DateTime after;
    EXPECT_EQ(readAll(log), "alpha\r\n\r\nbeta\r\n");

    std::string stored;
    ASSERT_EQ(getResource("coreLogOpened", stored), 0);
    EXPECT_EQ(stored.size(), 16u) << stored;  // yyyymmddThhmmssZ
    DateTime opened;
    opened.assignFields(parseDateTime(stored));
    EXPECT_LE(before.value(), opened.value());
    EXPECT_GE(after.value(), opened.value());
}

TEST_F(LoggerAgentFileTest, CreatesMissingDirectoriesOfTheLogFile) {
    LoggerAgentFile agent;
    const std::string log = m_dir.path() + "\\Log\\deeper/app.log";
    ASSERT_TRUE(agent.setFile(log));
    ASSERT_TRUE(agent.write("first line"));
    EXPECT_EQ(readAll(path("Log/deeper/app.log")), "first line\r\n");
}

TEST_F(LoggerAgentFileTest, UnwritableDirectoryGivesFalseAndLaterLinesTryAgain) {
    LoggerAgentFile agent;
    ASSERT_TRUE(test::writeAll(path("blocker"), ""));
    ASSERT_TRUE(agent.setFile(path("blocker/app.log")));
    EXPECT_FALSE(agent.write("lost"));
    ASSERT_EQ(std::remove(path("blocker").c_str()), 0);
    EXPECT_TRUE(agent.write("kept"));
    EXPECT_EQ(readAll(path("blocker/app.log")), "kept\r\n");
}

TEST_F(LoggerAgentFileTest, SetFileKeepsTheSamePathAndMovesToAnother) {
    LoggerAgentFile agent;
    const std::string first = path("one.log");
    const std::string second = path("two.log");
    ASSERT_TRUE(agent.setFile(first));
    ASSERT_TRUE(agent.write("a"));
    EXPECT_EQ(test::openHandles(first), 1);

    ASSERT_TRUE(agent.setFile(first));
    EXPECT_EQ(test::openHandles(first), 1);  // still open, not reopened
    ASSERT_TRUE(agent.write("b"));

    ASSERT_TRUE(agent.setFile(second));
    EXPECT_EQ(test::openHandles(first), 0);
    EXPECT_FALSE(exists(second));
    EXPECT_EQ(agent.location(), "file:///" + second);
    ASSERT_TRUE(agent.write("c"));
    EXPECT_EQ(readAll(first), "a\r\nb\r\n");
    EXPECT_EQ(readAll(second), "c\r\n");
}

TEST_F(LoggerAgentFileTest, DestructorClosesTheFile) {
    const std::string log = path("closed.log");
    {
        LoggerAgentFile agent;
        agent.setFile(log);
        ASSERT_TRUE(agent.write("x"));
        EXPECT_EQ(test::openHandles(log), 1);
    }
    EXPECT_EQ(test::openHandles(log), 0);
}

TEST_F(LoggerAgentFileTest, StoredOpeningTimeOfAnExistingFile) {
    struct Case {
        const char* stored;  // null: no resource
        bool raises;
    };
    const Case cases[] = {{nullptr, false}, {"20100506T123000Z", false}, {"garbage", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.stored ? c.stored : "(none)");
        const std::string log = path("existing.log");
        std::ofstream(log, std::ios::binary) << "old\r\n";
        test::ResourceStore store;  // fresh for every case
        ASSERT_TRUE(store.usable());
        if (c.stored) {
            ASSERT_EQ(setResource("coreLogOpened", c.stored), 0);
        }

        LoggerAgentFile agent;
        agent.setFile(log);
        if (c.raises) {
            EXPECT_THROW(agent.write("lost"), TimeException);
        }
        // The stored time is read, not rewritten, and the next line goes in.
        EXPECT_TRUE(agent.write("new"));
        std::string stored;
        EXPECT_EQ(getResource("coreLogOpened", stored), c.stored ? 0 : 2);
        if (c.stored) {
            EXPECT_EQ(stored, c.stored);
        }
        EXPECT_EQ(readAll(log), "old\r\nnew\r\n");
    }
}

TEST_F(LoggerAgentFileTest, GivesUpWhileAnotherProcessHoldsTheNamedGuard) {
    // The guard is named after the base name only, so a process writing a file of
    // that name anywhere holds it.
    LoggerAgentFile agent;
    ASSERT_TRUE(agent.setFile(path("held.log")));
    ASSERT_TRUE(agent.write("before"));

    const std::unique_ptr<test::ChildProcess> child = holdGuardInChild("held.log", 3000);
    ASSERT_TRUE(child);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(agent.write("dropped"));
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 1.9);
    EXPECT_LT(waited, 2.9);
    EXPECT_EQ(child->wait().exitCode, 0);
    EXPECT_TRUE(agent.write("after"));
    EXPECT_EQ(readAll(path("held.log")), "before\r\nafter\r\n");
}

TEST_F(LoggerAgentFileTest, WritesOnceTheHolderLetsGoInTime) {
    LoggerAgentFile agent;
    ASSERT_TRUE(agent.setFile(path("brief.log")));
    const std::unique_ptr<test::ChildProcess> child = holdGuardInChild("brief.log", 300);
    ASSERT_TRUE(child);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(agent.write("waited"));
    EXPECT_GE(secondsSince(start), 0.25);
    EXPECT_EQ(child->wait().exitCode, 0);
    EXPECT_EQ(readAll(path("brief.log")), "waited\r\n");
}

TEST_F(LoggerAgentFileTest, ThreadsSharingOneAgentLoseNoLine) {
    // All threads start with the file still closed: the first lines race to open it.
    const int threads = 4;
    const int lines = 3000;
    LoggerAgentFile agent;
    ASSERT_TRUE(agent.setFile(path("threads.log")));
    std::vector<std::thread> writers;
    std::vector<int> failures(threads, 0);
    std::atomic<int> waiting(threads);
    for (int writer = 0; writer < threads; ++writer) {
        writers.emplace_back([&, writer] {
            for (--waiting; waiting.load() > 0;) {
            }
            for (int i = 0; i < lines; ++i)
                if (!agent.write(stressLine(writer, i))) ++failures[writer];
        });
    }
    for (std::thread& writer : writers) writer.join();
    EXPECT_EQ(failures, std::vector<int>(threads, 0));

    std::map<std::string, int> seen;
    int total = 0;
    ASSERT_TRUE(countLines(readAll(path("threads.log")), seen, total));
    EXPECT_EQ(total, threads * lines);
    for (int writer = 0; writer < threads; ++writer)
        for (int i = 0; i < lines; ++i) {
            const auto found = seen.find(stressLine(writer, i));
            ASSERT_TRUE(found != seen.end() && found->second == 1) << "writer " << writer << " line " << i;
        }
}

TEST_F(LoggerAgentFileTest, ProcessesAppendingToOneFileLoseAndTearNoLine) {
    const int writers = 4;
    const int lines = 20000;
    const std::string log = path("shared.log");
    appendFromProcesses(m_store, log, writers, lines);
    std::map<std::string, int> seen;
    int total = 0;
    ASSERT_TRUE(countLines(readAll(log), seen, total)) << "unterminated tail";
    expectEveryLineOnce(seen, total, writers, lines);
}

}  // namespace
