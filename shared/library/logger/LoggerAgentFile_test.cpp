#include "LoggerAgentFile.h"

#include <dirent.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DateTime.h"
#include "Monopoly.h"
#include "SystemInfo.h"
#include "TimeException.h"
#include "testing/BrokenLockFolder.h"

using namespace Brolix;

namespace {

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

/// How many of this process's descriptors refer to `path`.
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

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// A scratch directory and a resource store of its own for every test.
class LoggerAgentFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/agentXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ::setenv("BROLIX_REGISTRY", (m_dir + "/registry.reg").c_str(), 1);
        ::unsetenv("BROLIX_ENV");
    }
    void TearDown() override {
        ::unsetenv("BROLIX_REGISTRY");
        std::system(("rm -rf '" + m_dir + "'").c_str());
    }

    std::string path(const std::string& name) const { return m_dir + "/" + name; }

    std::string m_dir;
};

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
    const std::string log = m_dir + "\\Log\\deeper/app.log";
    ASSERT_TRUE(agent.setFile(log));
    ASSERT_TRUE(agent.write("first line"));
    EXPECT_EQ(readAll(path("Log/deeper/app.log")), "first line\r\n");
}

TEST_F(LoggerAgentFileTest, UnwritableDirectoryGivesFalseAndLaterLinesTryAgain) {
    LoggerAgentFile agent;
    ASSERT_EQ(std::system(("touch '" + path("blocker") + "'").c_str()), 0);
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
    EXPECT_EQ(openDescriptors(first), 1);

    ASSERT_TRUE(agent.setFile(first));
    EXPECT_EQ(openDescriptors(first), 1);  // still open, not reopened
    ASSERT_TRUE(agent.write("b"));

    ASSERT_TRUE(agent.setFile(second));
    EXPECT_EQ(openDescriptors(first), 0);
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
        EXPECT_EQ(openDescriptors(log), 1);
    }
    EXPECT_EQ(openDescriptors(log), 0);
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
        std::remove((m_dir + "/registry.reg").c_str());
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

/// Runs `body` in a child process that holds the named guard `name` from the
/// moment the parent is told until it has slept `holdMs`.
pid_t holdGuardInChild(const std::string& name, int holdMs) {
    int ready[2];
    if (::pipe(ready) != 0) return -1;
    const pid_t child = ::fork();
    if (child == 0) {
        Monopoly guard(name);
        const bool held = guard.enforce();
        char byte = held ? 'y' : 'n';
        if (::write(ready[1], &byte, 1) != 1) ::_exit(2);
        ::usleep(holdMs * 1000);
        guard.relax();
        ::_exit(held ? 0 : 1);
    }
    char byte = 0;
    if (::read(ready[0], &byte, 1) != 1 || byte != 'y') {
        ::close(ready[0]);
        ::close(ready[1]);
        return -1;
    }
    ::close(ready[0]);
    ::close(ready[1]);
    return child;
}

TEST_F(LoggerAgentFileTest, GivesUpWhileAnotherProcessHoldsTheNamedGuard) {
    // The guard is named after the base name only, so a process writing a file of
    // that name anywhere holds it.
    LoggerAgentFile agent;
    ASSERT_TRUE(agent.setFile(path("held.log")));
    ASSERT_TRUE(agent.write("before"));

    const pid_t child = holdGuardInChild("held.log", 3000);
    ASSERT_GT(child, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(agent.write("dropped"));
    const double waited = secondsSince(start);
    EXPECT_GE(waited, 1.9);
    EXPECT_LT(waited, 2.9);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(agent.write("after"));
    EXPECT_EQ(readAll(path("held.log")), "before\r\nafter\r\n");
}

TEST_F(LoggerAgentFileTest, WritesOnceTheHolderLetsGoInTime) {
    LoggerAgentFile agent;
    ASSERT_TRUE(agent.setFile(path("brief.log")));
    const pid_t child = holdGuardInChild("brief.log", 300);
    ASSERT_GT(child, 0);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(agent.write("waited"));
    EXPECT_GE(secondsSince(start), 0.25);
    ::waitpid(child, nullptr, 0);
    EXPECT_EQ(readAll(path("brief.log")), "waited\r\n");
}

/// The line that process `writer` writes as its `index`th; every 50th line is
/// longer than a stream buffer, so that an unguarded append would be torn.
std::string stressLine(int writer, int index) {
    std::string line = "writer " + std::to_string(writer) + " line " + std::to_string(index) + " ";
    line.append(index % 50 == 0 ? 12000 : 40 + index % 37, static_cast<char>('a' + writer));
    return line + " end";
}

/// Every line of `text` (ended by "\r\n") with how often it occurs; false when the
/// text ends in an unfinished line.
bool countLines(const std::string& text, std::map<std::string, int>& seen, int& total) {
    size_t start = 0;
    total = 0;
    while (start < text.size()) {
        const size_t end = text.find("\r\n", start);
        if (end == std::string::npos) return false;
        ++seen[text.substr(start, end - start)];
        ++total;
        start = end + 2;
    }
    return true;
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

/// Forks `writers` processes that each append their `lines` stress lines to
/// `log` through an agent of their own, and waits for them: each must write
/// every line.
void appendFromProcesses(const std::string& log, int writers, int lines) {
    std::vector<pid_t> children;
    for (int writer = 0; writer < writers; ++writer) {
        const pid_t child = ::fork();
        if (child == 0) {
            LoggerAgentFile agent;
            int failed = 0;
            if (!agent.setFile(log)) ::_exit(3);
            for (int i = 0; i < lines; ++i)
                if (!agent.write(stressLine(writer, i))) ++failed;
            ::_exit(failed == 0 ? 0 : 1);
        }
        ASSERT_GT(child, 0);
        children.push_back(child);
    }
    for (pid_t child : children) {
        int status = -1;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
}

/// Every stress line of the writers is among the `total` lines `seen`, once.
void expectEveryLineOnce(const std::map<std::string, int>& seen, int total, int writers, int lines) {
    EXPECT_EQ(total, writers * lines);
    for (int writer = 0; writer < writers; ++writer)
        for (int i = 0; i < lines; ++i) {
            const auto found = seen.find(stressLine(writer, i));
            ASSERT_TRUE(found != seen.end() && found->second == 1) << "writer " << writer << " line " << i;
        }
}

TEST_F(LoggerAgentFileTest, ProcessesAppendingToOneFileLoseAndTearNoLine) {
    const int writers = 4;
    const int lines = 20000;
    const std::string log = path("shared.log");
    appendFromProcesses(log, writers, lines);
    std::map<std::string, int> seen;
    int total = 0;
    ASSERT_TRUE(countLines(readAll(log), seen, total)) << "unterminated tail";
    expectEveryLineOnce(seen, total, writers, lines);
}

// When the machine-wide guard is refused (its lock folder cannot be used),
// waiting would not help: no line may be lost or wait, processes still take
// turns (through a lock on the log file), and the file says so once.
TEST_F(LoggerAgentFileTest, LockFolderThatCannotBeUsedCostsNoLine) {
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

void linesGoInWithoutWaiting(const std::string& dir) {
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

void processesStillTakeTurns(const std::string& dir) {
    const int writers = 4;
    const int lines = 5000;
    const std::string log = dir + "/faulty.log";
    appendFromProcesses(log, writers, lines);
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
        explicit InBrokenLockFolder(void (*body)(const std::string&)) : m_body(body) {}
        void TestBody() override { m_body(m_dir); }
        void (*m_body)(const std::string&);
    };
    const struct {
        const char* name;
        void (*body)(const std::string&);
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
