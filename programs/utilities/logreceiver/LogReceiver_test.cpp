#include "LogReceiver.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "IPCClient.h"
#include "LogEntry.h"
#include "ParamStream.h"

using namespace Brolix;

namespace {

std::string uniqueSlot(const char* what) { return "BrolixTest_" + std::to_string(::getpid()) + "_" + what; }

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
    const LogEntry escaped = messageEntry(9, 2, ParamStream().addText("a\x1b" "b").addNumber(3).text());
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
        const bool ok = parseLogReceiverArguments(static_cast<int>(c.args.size()), c.args.data(), options, error);
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
}

// The receiver program running as a child process, its output read line by line.
class Receiver {
public:
    explicit Receiver(std::vector<std::string> args) {
        int out[2], err[2];
        if (::pipe(out) != 0 || ::pipe(err) != 0) ADD_FAILURE() << "pipe";
        m_pid = ::fork();
        if (m_pid == 0) {
            ::dup2(out[1], 1);
            ::dup2(err[1], 2);
            std::vector<char*> argv{const_cast<char*>(LOGRECEIVER_PROGRAM)};
            for (std::string& a : args) argv.push_back(&a[0]);
            argv.push_back(nullptr);
            ::execv(LOGRECEIVER_PROGRAM, argv.data());
            ::_exit(127);
        }
        ::close(out[1]);
        ::close(err[1]);
        m_out = out[0];
        m_err = err[0];
    }
    ~Receiver() {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        ::close(m_out);
        ::close(m_err);
    }
    // The next line of standard output, or "" when none comes within a few seconds.
    std::string line() { return readLine(m_out, m_outBuffer); }
    std::string errorLine() { return readLine(m_err, m_errBuffer); }
    // Waits for the program to end; its exit status, or -1.
    int status() {
        int status = 0;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) return -1;
            ::usleep(5000);
        }
        m_pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void signal(int number) { ::kill(m_pid, number); }

private:
    static std::string readLine(int fd, std::string& buffer) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (;;) {
            const size_t end = buffer.find('\n');
            if (end != std::string::npos) {
                std::string line = buffer.substr(0, end);
                buffer.erase(0, end + 1);
                return line;
            }
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            pollfd p = {fd, POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return "";
            char chunk[4096];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n <= 0) return "";
            buffer.append(chunk, n);
        }
    }

    pid_t m_pid = -1;
    int m_out = -1;
    int m_err = -1;
    std::string m_outBuffer;
    std::string m_errBuffer;
};

// Sends until the receiver has its slot; false if it never gets it.
bool sendWhenReady(IPCClient& client, const std::string& datagram) {
    for (int i = 0; i < 1000; ++i) {
        if (client.sendText(datagram)) return true;
        ::usleep(5000);
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

TEST(LogReceiverTest, EndsCleanlyOnSignals) {
    for (int number : {SIGTERM, SIGINT}) {
        const std::string slot = uniqueSlot("signal");
        Receiver receiver({"--slot=" + slot});
        IPCClient client(slot);
        const LogEntry entry = messageEntry(12, 1, "");
        ASSERT_TRUE(sendWhenReady(client, logRequest(entry)));
        EXPECT_EQ(receiver.line(), formatLine(entry) + " -- the build has finished");
        receiver.signal(number);
        EXPECT_EQ(receiver.status(), RECEIVER_OK) << number;
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
