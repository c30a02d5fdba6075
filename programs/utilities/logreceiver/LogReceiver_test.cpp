#include "LogReceiver.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "IPCClient.h"
#include "LogEntry.h"
#include "ParamStream.h"
#include "testing/TestSystem.h"

using namespace Brolix;

namespace {

std::string uniqueSlot(const char* what) {
    return "BrolixTest_" + std::to_string(test::processId()) + "_" + what;
}

LogEntry messageEntry(int32_t number, int32_t severity, const std::string& params, int32_t module = 10) {
    LogEntry entry;
    entry.kind = LogEntry::KIND_MESSAGE;
    entry.application = 9;
    entry.module = module;
    entry.time = DateTime(1700000000);
    entry.severity = severity;
    entry.messageNumber = number;
    entry.text = params;
    entry.thread = 4242;
    return entry;
}

std::string logRequest(const LogEntry& entry) {
    return IPCClient::frameRequest("LOGMSG", "", serializeEntry(entry), "");
}

TEST(LogReceiverTest, DescribesDatagrams) {
    const LogEntry plain = messageEntry(11, 0, "");
    // Parameters may hold the request framing's escape character themselves when
    // the sender does not replace it (IPCClient does).
    const LogEntry escaped = messageEntry(9, 2,
                                          ParamStream()
                                              .addText("a\x1b"
                                                       "b")
                                              .addNumber(3)
                                              .text());
    const std::string unreplaced = std::string("Brolix\x1bLOGMSG\x1b\x1b") + serializeEntry(escaped) + "\x1b";
    // The builder's messages are shown in words with their parameters named;
    // numbers it does not send, and other modules, are shown as they come.
    const LogEntry extra =
        messageEntry(10, 4, ParamStream().addText("x.xml").addText("Bad.").addText("more").text());
    const LogEntry unused = messageEntry(3, 4, "");
    const LogEntry otherModule = messageEntry(9, 2, ParamStream().addText("x").text(), 3);
    LogEntry debugEntry = messageEntry(LogEntry::NO_NUMBER, 0, "Creating output files...");
    debugEntry.kind = LogEntry::KIND_DEBUG;
    debugEntry.debugLevel = 1;
    const struct {
        std::string datagram;
        DatagramKind kind;
        std::string text;
    } cases[] = {
        {logRequest(plain), DatagramKind::LOG_LINE, formatLine(plain) + " -- the build starts"},
        {unreplaced, DatagramKind::LOG_LINE,
         formatLine(escaped) + " -- cannot write the configuration file (output file: a\x1b"
                               "b; error code: 3)"},
        {logRequest(extra), DatagramKind::LOG_LINE,
         formatLine(extra) +
             " -- cannot load the XML file (XML file: x.xml; description: Bad.; parameter 3: more)"},
        {logRequest(unused), DatagramKind::LOG_LINE, formatLine(unused)},
        {logRequest(otherModule), DatagramKind::LOG_LINE, formatLine(otherModule)},
        {logRequest(debugEntry), DatagramKind::LOG_LINE, formatLine(debugEntry)},
        {IPCClient::frameRequest("PING", "x", "y", "z"), DatagramKind::OTHER, "PING"},
        {IPCClient::frameRequest("LOGMSG", "",
                                 "Brolix\x1c"
                                 "FOO\x1c",
                                 ""),
         DatagramKind::UNREADABLE, "unreadable log entry: Brolix\\x1CFOO\\x1C"},
        {"hello", DatagramKind::UNREADABLE, "not a request: hello"},
        {"", DatagramKind::UNREADABLE, "not a request: "},
        {"Brolix\x1bLOGMSG\x1b\x1b", DatagramKind::UNREADABLE, "not a request: Brolix\\x1BLOGMSG\\x1B\\x1B"},
        {"Brolix\x1bLOGMSG", DatagramKind::UNREADABLE, "not a request: Brolix\\x1BLOGMSG"},
    };
    for (const auto& c : cases) {
        std::string text;
        EXPECT_EQ(describeDatagram(c.datagram, text), c.kind) << c.text;
        EXPECT_EQ(text, c.text);
    }
}

TEST(LogReceiverTest, SystemLogRecordOfEachKindOfEntry) {
    using Fields = std::vector<std::pair<std::string, std::string>>;
    LogEntry debugEntry = messageEntry(LogEntry::NO_NUMBER, 0, "Creating output files...");
    debugEntry.kind = LogEntry::KIND_DEBUG;
    debugEntry.debugLevel = 1;
    const struct {
        LogEntry entry;
        int priority;
        const char* identifier;
        const char* message;
        Fields fields;
        uint16_t eventId;
    } cases[] = {
        {messageEntry(11, 0, ""), 5, "ardwen", "(9.10.11) the build starts",
         {{"BROLIX_SEVERITY", "NOTICE"},
          {"BROLIX_APPLICATION", "9"},
          {"BROLIX_MODULE", "10"},
          {"BROLIX_MESSAGE_NUMBER", "11"},
          {"BROLIX_THREAD", "4242"},
          {"BROLIX_TIME", "2023-11-14T22:13:20Z"}},
         11},
        {messageEntry(9, 2, ParamStream().addText("out.cfg").addNumber(-7).text()), 3, "ardwen",
         "(9.10.09) cannot write the configuration file (output file: out.cfg; error code: -7)",
         {{"BROLIX_SEVERITY", "ERROR"},
          {"BROLIX_APPLICATION", "9"},
          {"BROLIX_MODULE", "10"},
          {"BROLIX_MESSAGE_NUMBER", "9"},
          {"BROLIX_THREAD", "4242"},
          {"BROLIX_TIME", "2023-11-14T22:13:20Z"},
          {"BROLIX_PARAMETER_1", "out.cfg"},
          {"BROLIX_PARAMETER_2", "-7"}},
         9},
        // A number the builder does not send, FATAL.
        {messageEntry(3, 4, ""), 2, "ardwen", "(9.10.03) (Message not found.)",
         {{"BROLIX_SEVERITY", "FATAL"},
          {"BROLIX_APPLICATION", "9"},
          {"BROLIX_MODULE", "10"},
          {"BROLIX_MESSAGE_NUMBER", "3"},
          {"BROLIX_THREAD", "4242"},
          {"BROLIX_TIME", "2023-11-14T22:13:20Z"}},
         3},
        // Another program's WARNING: its parameters as the log line shows them.
        {messageEntry(9, 1, ParamStream().addText("x").addText("y\nz").text(), 3), 4, "brolix",
         "(9.03.09) (Message not found.) Parameters: x  y\nz  ",
         {{"BROLIX_SEVERITY", "WARNING"},
          {"BROLIX_APPLICATION", "9"},
          {"BROLIX_MODULE", "3"},
          {"BROLIX_MESSAGE_NUMBER", "9"},
          {"BROLIX_THREAD", "4242"},
          {"BROLIX_TIME", "2023-11-14T22:13:20Z"},
          {"BROLIX_PARAMETER_1", "x"},
          {"BROLIX_PARAMETER_2", "y\nz"}},
         9},
        {debugEntry, 7, "ardwen", "(9.10) Creating output files...",
         {{"BROLIX_SEVERITY", "debug-1"},
          {"BROLIX_APPLICATION", "9"},
          {"BROLIX_MODULE", "10"},
          {"BROLIX_DEBUG_LEVEL", "1"},
          {"BROLIX_THREAD", "4242"},
          {"BROLIX_TIME", "2023-11-14T22:13:20Z"}},
         0},
        // CRITICAL; an event id only below 1000.
        {messageEntry(1000, 3, ""), 2, "ardwen", "(9.10.1000) (Message not found.)",
         {{"BROLIX_SEVERITY", "CRITICAL"},
          {"BROLIX_APPLICATION", "9"},
          {"BROLIX_MODULE", "10"},
          {"BROLIX_MESSAGE_NUMBER", "1000"},
          {"BROLIX_THREAD", "4242"},
          {"BROLIX_TIME", "2023-11-14T22:13:20Z"}},
         0},
    };
    for (const auto& c : cases) {
        const platform::SystemLogRecord record = systemLogRecord(c.entry);
        EXPECT_EQ(record.priority, c.priority) << c.message;
        EXPECT_EQ(record.identifier, c.identifier) << c.message;
        EXPECT_EQ(record.message, c.message);
        EXPECT_EQ(record.fields, c.fields) << c.message;
        EXPECT_EQ(record.eventId, c.eventId) << c.message;
    }
}

TEST(LogReceiverTest, ParsesArguments) {
    const struct {
        std::vector<const char*> args;
        bool ok;
        const char* slot;
        int64_t count;
        double timeout;
    } cases[] = {
        {{}, true, "Brolix_Core", 0, 0},
        {{"--slot", "Other", "--count", "3", "--timeout", "1.5"}, true, "Other", 3, 1.5},
        {{"--slot=S", "--count=1", "--timeout=2"}, true, "S", 1, 2},
        {{"--system-log", "--count=1"}, true, "Brolix_Core", 1, 0},
        {{"--service"}, true, "Brolix_Core", 0, 0},
        {{"--count", "0"}, false, "", 0, 0},
        {{"--count", "-2"}, false, "", 0, 0},
        {{"--count", "3x"}, false, "", 0, 0},
        {{"--count"}, false, "", 0, 0},
        {{"--timeout", "0"}, false, "", 0, 0},
        {{"--timeout", "nan"}, false, "", 0, 0},
        {{"--timeout", "1e300"}, false, "", 0, 0},
        {{"--slot="}, false, "", 0, 0},
        {{"--bogus"}, false, "", 0, 0},
        {{"extra"}, false, "", 0, 0},
    };
    for (const auto& c : cases) {
        LogReceiverOptions options;
        std::string error;
        const bool ok =
            parseLogReceiverArguments(static_cast<int>(c.args.size()), c.args.data(), options, error);
        const std::string shown = c.args.empty() ? "(none)" : c.args[0];
        EXPECT_EQ(ok, c.ok) << shown;
        if (!c.ok) {
            EXPECT_FALSE(error.empty()) << shown;
            continue;
        }
        EXPECT_EQ(options.slot, c.slot);
        EXPECT_EQ(options.count, c.count);
        EXPECT_EQ(options.timeoutSeconds, c.timeout);
    }
    // Forwarding to the system's log, by hand or as the service.
    for (const char* arg : {"--system-log", "--service", "--version"}) {
        LogReceiverOptions options;
        std::string error;
        ASSERT_TRUE(parseLogReceiverArguments(1, &arg, options, error)) << arg;
        EXPECT_EQ(options.systemLog, std::string(arg) != "--version") << arg;
        EXPECT_EQ(options.service, std::string(arg) == "--service") << arg;
        EXPECT_EQ(options.version, std::string(arg) == "--version") << arg;
    }
}

// The receiver program running as a child process, its output read line by line.
class Receiver {
public:
    explicit Receiver(const std::vector<std::string>& args)
        : m_child(new test::ChildProcess(LOGRECEIVER_PROGRAM, args)) {
        EXPECT_TRUE(m_child->started()) << m_child->problem();
    }
    // The next line of standard output, or "" when none comes within a few seconds.
    std::string line() { return nextLine(&test::ChildProcess::output, m_outRead); }
    std::string errorLine() { return nextLine(&test::ChildProcess::errors, m_errRead); }
    // Waits for the program to end; its exit status, or -1.
    int status() {
        const test::ProcessEnd end = m_child->wait(std::chrono::milliseconds(10000));
        return end.running ? -1 : end.exitCode;
    }
    bool askToStop(test::ChildProcess::StopRequest request) { return m_child->askToStop(request); }

private:
    std::string nextLine(std::string (test::ChildProcess::*stream)() const, size_t& read) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            const std::string text = (*m_child.*stream)();
            const size_t end = text.find('\n', read);
            if (end != std::string::npos) {
                std::string line = text.substr(read, end - read);
                read = end + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();  // a text stream on Windows
                return line;
            }
            if (std::chrono::steady_clock::now() > deadline) return "";
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    std::unique_ptr<test::ChildProcess> m_child;
    size_t m_outRead = 0;
    size_t m_errRead = 0;
};

// Sends until the receiver has its slot; false if it never gets it.
bool sendWhenReady(IPCClient& client, const std::string& datagram) {
    for (int i = 0; i < 1000; ++i) {
        if (client.sendText(datagram)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

TEST(LogReceiverTest, PrintsLogMessagesFromAnotherProcessUntilCount) {
    const std::string slot = uniqueSlot("count");
    Receiver receiver({"--slot", slot, "--count", "3", "--timeout", "20"});
    IPCClient client(slot);
    const LogEntry first = messageEntry(11, 0, "");
    const LogEntry second = messageEntry(9, 2, ParamStream().addText("out.cfg").addNumber(-7).text());
    ASSERT_TRUE(sendWhenReady(client, logRequest(first)));
    EXPECT_TRUE(client.sendText("noise"));
    EXPECT_TRUE(client.sendRequest("PING", "", "", ""));
    EXPECT_TRUE(client.sendText(logRequest(second)));
    EXPECT_TRUE(client.sendText(logRequest(first)));
    const std::string started = formatLine(first) + " -- the build starts";
    EXPECT_EQ(receiver.line(), started);
    EXPECT_EQ(receiver.line(),
              formatLine(second) +
                  " -- cannot write the configuration file (output file: out.cfg; error code: -7)");
    EXPECT_EQ(receiver.line(), started);
    EXPECT_EQ(receiver.status(), RECEIVER_OK);
    EXPECT_EQ(receiver.errorLine(), "brolix-logreceiver: ignored not a request: noise");
    EXPECT_EQ(receiver.errorLine(), "brolix-logreceiver: ignored request PING");
}

TEST(LogReceiverTest, EndsCleanlyWhenAskedToStop) {
    using Stop = test::ChildProcess::StopRequest;
    for (Stop request : {Stop::TERMINATE, Stop::INTERRUPT}) {
        const int shown = static_cast<int>(request);
        const std::string slot = uniqueSlot("stop");
        Receiver receiver({"--slot=" + slot});
        IPCClient client(slot);
        const LogEntry entry = messageEntry(12, 1, "");
        ASSERT_TRUE(sendWhenReady(client, logRequest(entry)));
        EXPECT_EQ(receiver.line(), formatLine(entry) + " -- the build has finished");
        if (!receiver.askToStop(request)) {
            GTEST_SKIP() << "this system lets a test not stop a console program as a person would (Ctrl+C "
                            "reaches only the programs of the test's own console)";
        }
        EXPECT_EQ(receiver.status(), RECEIVER_OK) << shown;
    }
}

TEST(LogReceiverTest, ExitStatuses) {
    const std::string slot = uniqueSlot("status");
    {
        Receiver timedOut({"--slot", slot, "--count", "1", "--timeout", "0.1"});
        EXPECT_EQ(timedOut.status(), RECEIVER_TIMED_OUT);
        Receiver quiet({"--slot", slot, "--timeout", "0.1"});
        EXPECT_EQ(quiet.status(), RECEIVER_OK);
    }
    Receiver usage({"--count", "none"});
    EXPECT_EQ(usage.status(), RECEIVER_USAGE);

    // A second receiver cannot take a slot that is owned.
    Receiver owner({"--slot", slot});
    IPCClient client(slot);
    ASSERT_TRUE(sendWhenReady(client, logRequest(messageEntry(1, 0, ""))));
    Receiver second({"--slot", slot});
    EXPECT_EQ(second.status(), RECEIVER_FAILED);
    EXPECT_NE(second.errorLine().find("cannot own the mail slot"), std::string::npos);
}

}  // namespace
