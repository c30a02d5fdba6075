// The file log agent when the machine-wide guard's lock folder cannot be used
// (a Linux lock file mechanic).
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "LoggerAgentFile.h"
#include "LoggerAgentFileTesting.h"
#include "testing/BrokenLockFolder.h"

using namespace Brolix;
using test::appendFromProcesses;
using test::expectEveryLineOnce;
using test::LoggerAgentFileTest;
using test::readAll;

namespace {

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

using LoggerAgentFileLockFolderTest = LoggerAgentFileTest;

// When the machine-wide guard is refused (its lock folder cannot be used),
// waiting would not help: no line may be lost or wait, processes still take
// turns (through a lock on the log file), and the file says so once.
TEST_F(LoggerAgentFileLockFolderTest, LockFolderThatCannotBeUsedCostsNoLine) {
    const int ran = Brolix::test::runUnderEveryLockFault("LoggerAgentFileInBrokenLockFolder.*",
                                                         "[  PASSED  ] 2 tests.", "faulty.log");
    if (ran == 0) GTEST_SKIP() << "this system does not let a test make a mount namespace";
}

/// The lines of `text` that are the agent's note, and the others in order.
void splitNotes(const std::string& text, std::vector<std::string>& notes, std::vector<std::string>& lines) {
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        const std::string line = text.substr(start, end - start);
        (line.find(": LoggerAgentFile: ") != std::string::npos ? notes : lines).push_back(line);
    }
}

void linesGoInWithoutWaiting(const std::string& dir, const test::ResourceStore&) {
    LoggerAgentFile agent;
    const std::string log = dir + "/faulty.log";
    ASSERT_TRUE(agent.setFile(log));
    std::vector<std::string> expected;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 40; ++i) {
        expected.push_back("line " + std::to_string(i));
        EXPECT_TRUE(agent.write(expected.back()));
    }
    // Before: every line tried the guard for about 2 seconds and was then lost.
    EXPECT_LT(secondsSince(start), 1.5);

    const std::string text = readAll(log);
    std::vector<std::string> notes, lines;
    splitNotes(text, notes, lines);
    EXPECT_EQ(lines, expected);
    ASSERT_EQ(notes.size(), 1u) << text;
    EXPECT_EQ(text.find(notes[0]), 0u) << "the note comes before the first line written so";
    // A debug line of the logging chain's own module, then the words.
    EXPECT_EQ(notes[0].compare(0, 9, "debug-1  "), 0) << notes[0];
    EXPECT_NE(notes[0].find(" (0.02)    "), std::string::npos) << notes[0];
    const std::string words = notes[0].substr(notes[0].find(": LoggerAgentFile: ") + 2);
    EXPECT_EQ(words,
              "LoggerAgentFile: The system refuses the machine-wide lock \"faulty.log\"; "
              "lines are kept apart by a lock on the log file instead.");
}

void processesStillTakeTurns(const std::string& dir, const test::ResourceStore& store) {
    const int writers = 4;
    const int lines = 5000;
    const std::string log = dir + "/faulty.log";
    appendFromProcesses(store, log, writers, lines);
    const std::string text = readAll(log);
    ASSERT_EQ(text.compare(text.size() - 2, 2, "\r\n"), 0) << "unterminated tail";
    std::vector<std::string> notes, written;
    splitNotes(text, notes, written);
    EXPECT_EQ(notes.size(), size_t(writers)) << "one note from each process";
    std::map<std::string, int> seen;
    for (const std::string& line : written) ++seen[line];
    expectEveryLineOnce(seen, static_cast<int>(written.size()), writers, lines);
}

const bool kBrokenLockFolderTests = [] {
    if (Brolix::test::brokenLockFolder() == nullptr) return false;
    struct InBrokenLockFolder : LoggerAgentFileTest {
        explicit InBrokenLockFolder(void (*body)(const std::string&, const test::ResourceStore&))
            : m_body(body) {}
        void TestBody() override { m_body(m_dir.path(), m_store); }
        void (*m_body)(const std::string&, const test::ResourceStore&);
    };
    const struct {
        const char* name;
        void (*body)(const std::string&, const test::ResourceStore&);
    } tests[] = {
        {"LinesGoInWithoutWaiting", &linesGoInWithoutWaiting},
        {"ProcessesStillTakeTurns", &processesStillTakeTurns},
    };
    for (const auto& t : tests) {
        auto body = t.body;
        ::testing::RegisterTest("LoggerAgentFileInBrokenLockFolder", t.name, nullptr, nullptr, __FILE__,
                                __LINE__,
                                [body]() -> LoggerAgentFileTest* { return new InBrokenLockFolder(body); });
    }
    return true;
}();

}  // namespace
