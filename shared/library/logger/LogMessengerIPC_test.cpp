#include "LogMessengerIPC.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "IPCClient.h"
#include "LogEntry.h"
#include "LoggerCentre.h"
#include "LoggerUnit.h"
#include "MailSlot.h"
#include "ParamStream.h"

using namespace Brolix;

// The forwarding tests own the slot "Brolix_Core", which is machine-wide. They run
// in a child process that gets a network namespace of its own where the system
// allows it, so that they neither meet a receiver of another program nor take
// that program's messages; the child runs this binary again with the tests of
// LogMessengerIPCChild, which are registered only there.
namespace {

const char kChildVariable[] = "BROLIX_LOG_IPC_CHILD";

std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

LogEntry messageEntry(int32_t number, const std::string& params) {
    LogEntry entry;
    entry.kind = LogEntry::KIND_MESSAGE;
    entry.application = 9;
    entry.module = 10;
    entry.time = DateTime(1273149000);
    entry.severity = 1;
    entry.messageNumber = number;
    entry.text = params;
    entry.thread = 77;
    return entry;
}

LogEntry debugEntry(const std::string& text) {
    LogEntry entry;
    entry.application = 9;
    entry.module = 10;
    entry.time = DateTime(1273149000);
    entry.debugLevel = 2;
    entry.text = text;
    entry.thread = 77;
    return entry;
}

std::string framed(const std::string& wire) { return IPCClient::frameRequest("LOGMSG", "", wire, ""); }

/// A scratch directory with a resource store of its own.
class LogMessengerIPCChild : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/messengeripcXXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        m_dir = pattern;
        ::setenv("BROLIX_REGISTRY", (m_dir + "/registry.reg").c_str(), 1);
        m_log = m_dir + "/debug.log";
    }
    void TearDown() override { std::system(("rm -rf '" + m_dir + "'").c_str()); }

    std::string m_dir;
    std::string m_log;
};

void forwardsMessagesAndNotDebugTexts(const std::string& log) {
    MailSlot core(0, "Brolix_Core");
    LogMessengerIPC messenger;
    ASSERT_TRUE(messenger.setLogFile(log));
    std::vector<std::string> received;

    const std::string debug = serializeEntry(debugEntry("Creating DOM tree"));
    EXPECT_TRUE(messenger.log(debug));
    core.receive(received);
    EXPECT_TRUE(received.empty());

    const std::string first = serializeEntry(messageEntry(8, "sx.conf\x1A"));
    const std::string second = serializeEntry(messageEntry(12, ""));
    EXPECT_TRUE(messenger.log(first));
    EXPECT_TRUE(messenger.log(second));
    // A text that is not an entry is not written, but it is not a debug entry
    // either, so it still goes to the service.
    const std::string stray = "not an entry at all";
    EXPECT_FALSE(messenger.log(stray));
    core.receive(received);
    const std::vector<std::string> expected = {framed(first), framed(second), framed(stray)};
    EXPECT_EQ(received, expected);

    LogEntry parsed;
    std::string lines;
    for (const std::string& wire : {debug, first, second}) {
        ASSERT_TRUE(parseEntry(wire, parsed));
        lines += formatLine(parsed) + "\r\n";
    }
    EXPECT_EQ(readAll(log), lines);
}

void messageWithoutReceiverIsLoggedAndTheNextOneTriesAgain(const std::string& log) {
    LogMessengerIPC messenger;
    messenger.setLogFile(log);
    const std::string lost = serializeEntry(messageEntry(11, ""));
    EXPECT_TRUE(messenger.log(lost));

    MailSlot core(0, "Brolix_Core");
    const std::string later = serializeEntry(messageEntry(12, ""));
    EXPECT_TRUE(messenger.log(later));
    std::vector<std::string> received;
    core.receive(received);
    EXPECT_EQ(received, std::vector<std::string>{framed(later)});

    LogEntry parsed;
    std::string lines;
    for (const std::string& wire : {lost, later}) {
        ASSERT_TRUE(parseEntry(wire, parsed));
        lines += formatLine(parsed) + "\r\n";
    }
    EXPECT_EQ(readAll(log), lines);
}

/// The lines of a log file, without their "\r\n".
std::vector<std::string> linesOf(const std::string& path) {
    const std::string text = readAll(path);
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        lines.push_back(text.substr(start, end - start));
    return lines;
}

void receiverThatDoesNotReadCostsOneWait(const std::string& log) {
    // A service that owns its slot but has stopped reading: the kernel queues a
    // few messages, then the first send waits a moment and gives up, and every
    // later one gives up at once. No line of the log is lost meanwhile.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const pid_t service = ::fork();
    if (service == 0) {
        MailSlot core(0, "Brolix_Core");
        if (::write(ready[1], "r", 1) != 1) ::_exit(1);
        ::pause();
        ::_exit(0);
    }
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);

    SmartPointer<LogMessenger> messenger(new LogMessengerIPC);
    ASSERT_TRUE(messenger->setLogFile(log));
    SmartPointer<LoggerCentre> centre(new LoggerCentre(9, messenger));
    LoggerUnit unit(centre, ARDWEN_MODULE);
    const int warnings = 40;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < warnings; ++i) EXPECT_TRUE(unit.warning(8, ParamStream().addNumber(i)));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    ::kill(service, SIGKILL);
    ::waitpid(service, nullptr, 0);
    ::close(ready[0]);
    ::close(ready[1]);
    // Before: every message after the queue was full waited 0.2 s (6 s here).
    EXPECT_LT(seconds, 2.0 * MailSlot::WRITE_WAIT_MS / 1000.0 + 0.5);
    int written = 0;
    for (const std::string& line : linesOf(log)) written += line.compare(0, 7, "WARNING") == 0;
    EXPECT_EQ(written, warnings);
}

void threadsLoggingMessagesAtOnce(const std::string& log) {
    // Threads log their first messages at the same moment through one chain: one
    // client is made between them (a second one would leak), and every message
    // reaches the log file once and the service at most once.
    MailSlot core(0, "Brolix_Core");
    SmartPointer<LogMessenger> messenger(new LogMessengerIPC);
    ASSERT_TRUE(messenger->setLogFile(log));
    SmartPointer<LoggerCentre> centre(new LoggerCentre(9, messenger));
    const int threads = 4;
    const int perThread = 150;
    std::atomic<int> waiting(threads);
    std::atomic<int> running(threads);
    // The units are made up front: counted pointers are shared by one thread at a time.
    std::vector<std::unique_ptr<LoggerUnit>> units;
    for (int t = 0; t < threads; ++t) units.emplace_back(new LoggerUnit(centre, ARDWEN_MODULE));
    std::vector<std::thread> loggers;
    for (int t = 0; t < threads; ++t) {
        loggers.emplace_back([&, t] {
            for (--waiting; waiting.load() > 0;) {
            }
            for (int i = 0; i < perThread; ++i)
                EXPECT_TRUE(units[t]->error(9, ParamStream().addNumber(t).addNumber(i)));
            --running;
        });
    }
    std::vector<std::string> received;
    while (running.load() > 0) {
        core.receive(received);
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    for (std::thread& logger : loggers) logger.join();
    core.receive(received);

    std::multiset<std::string> sent, arrived, written;
    for (const std::string& datagram : received) {
        LogEntry entry;
        const std::string wire =
            datagram.substr(15, datagram.size() - 16);  // after "LOGMSG" ESC ESC, before the last ESC
        ASSERT_TRUE(parseEntry(wire, entry)) << datagram;
        arrived.insert(entry.text);
    }
    for (const std::string& line : linesOf(log)) {
        const size_t at = line.find("Parameters: ");
        if (at != std::string::npos) written.insert(line.substr(at + 12));
    }
    std::multiset<std::string> shown;
    for (int t = 0; t < threads; ++t)
        for (int i = 0; i < perThread; ++i) {
            sent.insert(ParamStream().addNumber(t).addNumber(i).text());
            shown.insert(std::to_string(t) + "  " + std::to_string(i) + "  ");
        }
    // Every line is in the file. A message reaches the service at most once (it
    // may be dropped when the service falls behind, which it hardly ever does).
    EXPECT_TRUE(written == shown) << written.size() << " of " << shown.size() << " lines written";
    EXPECT_TRUE(std::includes(sent.begin(), sent.end(), arrived.begin(), arrived.end()));
    EXPECT_GT(arrived.size(), sent.size() / 2) << arrived.size() << " of " << sent.size() << " messages arrived";
}

const bool kChildTestsRegistered = [] {
    if (std::getenv(kChildVariable) == nullptr) return false;
    struct Child : LogMessengerIPCChild {
        explicit Child(void (*body)(const std::string&)) : m_body(body) {}
        void TestBody() override { m_body(m_log); }
        void (*m_body)(const std::string&);
    };
    const struct {
        const char* name;
        void (*body)(const std::string&);
    } tests[] = {
        {"ForwardsMessagesAndNotDebugTexts", &forwardsMessagesAndNotDebugTexts},
        {"MessageWithoutReceiverIsLoggedAndTheNextOneTriesAgain",
         &messageWithoutReceiverIsLoggedAndTheNextOneTriesAgain},
        {"ReceiverThatDoesNotReadCostsOneWait", &receiverThatDoesNotReadCostsOneWait},
        {"ThreadsLoggingMessagesAtOnce", &threadsLoggingMessagesAtOnce},
    };
    for (const auto& t : tests) {
        auto body = t.body;
        ::testing::RegisterTest("LogMessengerIPCChild", t.name, nullptr, nullptr, __FILE__, __LINE__,
                                [body]() -> LogMessengerIPCChild* { return new Child(body); });
    }
    return true;
}();

TEST(LogMessengerIPCTest, ForwardingChecksPassInAChildProcess) {
    if (kChildTestsRegistered) GTEST_SKIP() << "this is the child";
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // A network namespace of its own where the system allows one; otherwise
        // the slot is shared with the machine.
        if (::unshare(CLONE_NEWNET) != 0) ::unshare(CLONE_NEWUSER | CLONE_NEWNET);
        ::dup2(output[1], 1);
        ::dup2(output[1], 2);
        ::close(output[0]);
        ::setenv(kChildVariable, "1", 1);
        ::execl("/proc/self/exe", "brolix_logger_tests", "--gtest_filter=LogMessengerIPCChild.*", nullptr);
        ::_exit(127);
    }
    ::close(output[1]);
    std::string text;
    char buffer[4096];
    ssize_t got;
    while ((got = ::read(output[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
    ::close(output[0]);
    int status = -1;
    ::waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;
    EXPECT_NE(text.find("[  PASSED  ] 4 tests"), std::string::npos) << text;
}

}  // namespace
