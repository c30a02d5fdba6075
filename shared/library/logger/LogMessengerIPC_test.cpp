#include "LogMessengerIPC.h"

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
#include "TestDirectory.h"
#include "testing/TestSystem.h"

using namespace Brolix;

// The forwarding tests own the slot "Brolix_Core", which is machine-wide. They run
// in a child process whose slot names are its own (test::ownSlotNames), so that
// they neither meet a receiver of another program nor take that program's
// messages; the child runs this binary again with the tests of
// LogMessengerIPCChild, which are registered only there. Where no slot names of
// its own can be had, they are skipped.
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

/// The note with which a child without slot names of its own ends.
const char NO_OWN_SLOTS[] = "<no slot names of its own: ";

/// A scratch directory with a resource store of its own.
class LogMessengerIPCChild : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_store.usable());
        m_log = m_dir.file("debug.log");
    }

    test::TestDirectory m_dir;
    test::ResourceStore m_store;
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
    // A service that owns its slot but has stopped reading: the system queues a
    // few messages, then the first send waits a moment and gives up, and every
    // later one gives up at once. No line of the log is lost meanwhile.
    test::ChildOptions options;
    options.setVariables.emplace_back("BROLIX_TEST_IDLE_SERVICE", "1");
    options.unsetVariables.push_back(kChildVariable);  // it keeps the slot names of this process
    const std::unique_ptr<test::ChildProcess> service(new test::ChildProcess(
        test::thisProgram(), {"--gtest_filter=LogMessengerIPCService.IdleService"}, options));
    ASSERT_TRUE(service->waitForOutput("<owns the slot>")) << service->problem() << service->output();

    SmartPointer<LogMessenger> messenger(new LogMessengerIPC);
    ASSERT_TRUE(messenger->setLogFile(log));
    SmartPointer<LoggerCentre> centre(new LoggerCentre(9, messenger));
    LoggerUnit unit(centre, ARDWEN_MODULE);
    const int warnings = 40;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < warnings; ++i) EXPECT_TRUE(unit.warning(8, ParamStream().addNumber(i)));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    service->kill();
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
    EXPECT_GT(arrived.size(), sent.size() / 2)
        << arrived.size() << " of " << sent.size() << " messages arrived";
}

// The service that does not read, in a process of its own started by a child
// test above (it shares that child's slot names): registered only there.
const bool kIdleServiceRegistered = [] {
    if (std::getenv("BROLIX_TEST_IDLE_SERVICE") == nullptr) return false;
    struct IdleService : ::testing::Test {
        void TestBody() override {
            MailSlot core(0, "Brolix_Core");
            std::fputs("<owns the slot>\n", stdout);
            std::fflush(stdout);
            for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));
        }
    };
    ::testing::RegisterTest("LogMessengerIPCService", "IdleService", nullptr, nullptr, __FILE__, __LINE__,
                            []() -> ::testing::Test* { return new IdleService; });
    return true;
}();

const bool kChildTestsRegistered = [] {
    if (std::getenv(kChildVariable) == nullptr) return false;
    // Before any test, and before gtest starts threads.
    std::string problem;
    if (!test::ownSlotNames(problem)) {
        std::printf("%s%s>\n", NO_OWN_SLOTS, problem.c_str());
        std::fflush(stdout);
        std::_Exit(0);
    }
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
    test::ChildOptions options;
    options.setVariables.emplace_back(kChildVariable, "1");
    test::ChildProcess child(test::thisProgram(), {"--gtest_filter=LogMessengerIPCChild.*"}, options);
    ASSERT_TRUE(child.started()) << child.problem();
    const test::ProcessEnd end = child.wait(std::chrono::milliseconds(120000));
    const std::string text = child.output() + child.errors();
    const size_t refused = text.find(NO_OWN_SLOTS);
    if (refused != std::string::npos)
        GTEST_SKIP() << text.substr(refused + 1, text.find('>', refused) - refused - 1);
    EXPECT_EQ(end.exitCode, 0) << text;
    EXPECT_NE(text.find("[  PASSED  ] 4 tests"), std::string::npos) << text;
}

}  // namespace
