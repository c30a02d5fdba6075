#include "LogReceiver.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "ArdwenMessage.h"
#include "Exception.h"
#include "IPCException.h"
#include "LogEntry.h"
#include "LoggerUnit.h"
#include "MailSlot.h"
#include "TimeException.h"
#include "platform/Service.h"
#include "platform/StopRequest.h"
#include "platform/SystemLog.h"
#include "platform/Thread.h"

namespace Brolix {

namespace {

const char ESCAPE = '\x1B';
const char PROGRAM[] = "brolix-logreceiver";
// How long the receiver sleeps between drains of the slot.
const uint32_t POLL_MILLISECONDS = 10;

std::atomic<int> g_stop{0};

// An option's value, from "--name=value" or the next argument.
bool optionValue(const std::string& arg, const char* name, int argc, const char* const* argv, int& i,
                 std::string& value, bool& matched) {
    const std::string option(name);
    matched = false;
    if (arg == option) {
        matched = true;
        if (i + 1 >= argc) return false;
        value = argv[++i];
        return true;
    }
    if (arg.compare(0, option.size() + 1, option + "=") == 0) {
        matched = true;
        value = arg.substr(option.size() + 1);
        return true;
    }
    return false;
}

// Control characters shown as \xNN, so that a note is always one readable line.
std::string printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c < 32 || c == 127) {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The catalogue row of one of the configuration builder's messages; null for
// other entries.
const ArdwenMessage* knownMessage(const LogEntry& entry) {
    return entry.kind == LogEntry::KIND_MESSAGE && entry.application == ARDWEN_APPLICATION &&
                   entry.module == ARDWEN_MODULE
               ? findArdwenMessage(entry.messageNumber)
               : nullptr;
}

void note(const std::string& text) {
    std::fprintf(stderr, "%s: %s\n", PROGRAM, text.c_str());
    std::fflush(stderr);
}

}  // namespace

std::string logReceiverUsage() {
    return std::string("Usage: ") + PROGRAM +
           " [--slot NAME] [--count N] [--timeout SECONDS] [--system-log | --service]\n"
           "Receives the log messages sent to the central logging service and prints each\n"
           "as a log line, until interrupted.\n"
           "  --slot NAME        the mail slot to own (default Brolix_Core)\n"
           "  --count N          end after N log lines\n"
           "  --timeout SECONDS  end after SECONDS (exit status 1 if --count was not reached)\n"
           "  --system-log       forward each message to the system's log instead (the journal,\n"
           "                     else syslog; the Event Log on Windows)\n"
           "  --service          run as the system's service " +
           SERVICE_NAME +
           ", forwarding to the system's log\n"
           "  --help             show this text\n"
           "  --version          show the version\n";
}

bool parseLogReceiverArguments(int argc, const char* const* argv, LogReceiverOptions& options,
                               std::string& error) {
    for (int i = 0; i < argc; ++i) {
        const std::string arg(argv[i]);
        std::string value;
        bool matched = false;
        if (arg == "--help" || arg == "-h") {
            options.help = true;
            continue;
        }
        if (arg == "--version") {
            options.version = true;
            continue;
        }
        if (arg == "--system-log") {
            options.systemLog = true;
            continue;
        }
        if (arg == "--service") {
            options.service = true;
            options.systemLog = true;
            continue;
        }
        if (optionValue(arg, "--slot", argc, argv, i, value, matched) || matched) {
            if (!matched || value.empty()) {
                error = "--slot needs a name";
                return false;
            }
            options.slot = value;
            continue;
        }
        if (optionValue(arg, "--count", argc, argv, i, value, matched) || matched) {
            char* end = nullptr;
            errno = 0;
            const long long count = value.empty() ? 0 : std::strtoll(value.c_str(), &end, 10);
            if (!matched || value.empty() || *end != '\0' || errno != 0 || count <= 0) {
                error = "--count needs a whole number above 0";
                return false;
            }
            options.count = count;
            continue;
        }
        if (optionValue(arg, "--timeout", argc, argv, i, value, matched) || matched) {
            char* end = nullptr;
            errno = 0;
            const double seconds = value.empty() ? 0 : std::strtod(value.c_str(), &end);
            // Up to a year: long enough for anyone, short enough for the clock.
            if (!matched || value.empty() || *end != '\0' || errno != 0 || !(seconds > 0) ||
                seconds > 366.0 * 24 * 3600) {
                error = "--timeout needs a number of seconds above 0";
                return false;
            }
            options.timeoutSeconds = seconds;
            continue;
        }
        error = "unknown argument: " + arg;
        return false;
    }
    return true;
}

DatagramKind describeDatagram(const std::string& datagram, std::string& text) {
    LogEntry entry;
    return describeDatagram(datagram, text, entry);
}

DatagramKind describeDatagram(const std::string& datagram, std::string& text, LogEntry& entry) {
    // "Brolix" ESC request ESC second ESC third ESC [fourth ESC]
    const std::string head = std::string("Brolix") + ESCAPE;
    if (datagram.compare(0, head.size(), head) != 0) {
        text = "not a request: " + printable(datagram);
        return DatagramKind::UNREADABLE;
    }
    const size_t requestEnd = datagram.find(ESCAPE, head.size());
    const size_t secondEnd =
        requestEnd == std::string::npos ? requestEnd : datagram.find(ESCAPE, requestEnd + 1);
    if (secondEnd == std::string::npos || datagram.back() != ESCAPE || datagram.size() < secondEnd + 2) {
        text = "not a request: " + printable(datagram);
        return DatagramKind::UNREADABLE;
    }
    const std::string request = datagram.substr(head.size(), requestEnd - head.size());
    if (request != "LOGMSG") {
        text = request;
        return DatagramKind::OTHER;
    }
    // A log message carries its entry as the third text and nothing after it; the
    // entry's parameters may hold escape characters themselves, so the entry is
    // everything up to the final escape.
    const std::string wire = datagram.substr(secondEnd + 1, datagram.size() - secondEnd - 2);
    try {
        if (!parseEntry(wire, entry)) {
            text = "unreadable log entry: " + printable(wire);
            return DatagramKind::UNREADABLE;
        }
    } catch (const Exception& e) {
        text = "unreadable log entry (" + e.describe() + "): " + printable(wire);
        return DatagramKind::UNREADABLE;
    }
    text = formatLine(entry);
    // The configuration builder's messages are known by their words.
    const ArdwenMessage* known = knownMessage(entry);
    if (known != nullptr) text += " -- " + describeArdwenMessage(*known, parameterValues(entry.text));
    return DatagramKind::LOG_LINE;
}

platform::SystemLogRecord systemLogRecord(const LogEntry& entry) {
    platform::SystemLogRecord record;
    const bool debug = entry.kind == LogEntry::KIND_DEBUG;
    const bool builder = entry.application == ARDWEN_APPLICATION && entry.module == ARDWEN_MODULE;
    static const int PRIORITIES[] = {5, 4, 3, 2, 2};  // NOTICE, WARNING, ERROR, CRITICAL, FATAL
    record.priority = debug ? 7 : entry.severity >= 0 && entry.severity <= 4 ? PRIORITIES[entry.severity] : 5;
    record.identifier = builder ? "ardwen" : "brolix";

    std::string identity = messageIdentity(entry.application, entry.module, entry.messageNumber);
    while (!identity.empty() && identity.back() == ' ') identity.pop_back();
    const ArdwenMessage* known = knownMessage(entry);
    const std::vector<std::string> values = debug ? std::vector<std::string>() : parameterValues(entry.text);
    if (known != nullptr) {
        record.message = identity + " " + describeArdwenMessage(*known, values);
    } else {
        // What the log line shows after the thread: the debug text, or
        // "(Message not found.)" and the parameters.
        const std::string line = formatLine(entry);
        const size_t afterThread = line.find(": ");
        record.message = identity + " " + (afterThread == std::string::npos ? line : line.substr(afterThread + 2));
    }

    auto field = [&record](const char* name, const std::string& value) { record.fields.emplace_back(name, value); };
    field("BROLIX_SEVERITY", debug ? "debug-" + std::to_string(entry.debugLevel) : severityName(entry.severity));
    field("BROLIX_APPLICATION", std::to_string(entry.application));
    field("BROLIX_MODULE", std::to_string(entry.module));
    if (debug) {
        field("BROLIX_DEBUG_LEVEL", std::to_string(entry.debugLevel));
    } else {
        field("BROLIX_MESSAGE_NUMBER", std::to_string(entry.messageNumber));
    }
    field("BROLIX_THREAD", std::to_string(entry.thread));
    try {
        field("BROLIX_TIME", entry.time.toString(true, false, false));
    } catch (const TimeException&) {
        // A time that cannot be shown is left out.
    }
    for (size_t i = 0; i < values.size(); ++i) field(("BROLIX_PARAMETER_" + std::to_string(i + 1)).c_str(), values[i]);
    record.eventId =
        !debug && entry.messageNumber > 0 && entry.messageNumber < 1000 ? static_cast<uint16_t>(entry.messageNumber) : 0;
    return record;
}

namespace {

// Receives until `stop`, the count or the timeout; `ready` is called once the
// slot is owned.
int receive(const LogReceiverOptions& options, std::atomic<int>& stop, const std::function<void()>& ready) {
    std::unique_ptr<MailSlot> slot;
    try {
        slot.reset(new MailSlot(IPC::RECEIVER, options.slot));
    } catch (const IPCException& e) {
        note("cannot own the mail slot " + MailSlot::slotPath(IPC::RECEIVER, options.slot) +
             " (is another receiver running?): " + e.describe() +
             (e.message().empty() ? "" : " (error " + e.message() + ")"));
        return RECEIVER_FAILED;
    }
    std::unique_ptr<platform::SystemLog> systemLog;
    if (options.systemLog) systemLog.reset(new platform::SystemLog(EVENT_SOURCE));
    ready();

    using Clock = std::chrono::steady_clock;
    const bool timed = options.timeoutSeconds > 0;
    const Clock::time_point deadline =
        Clock::now() +
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(options.timeoutSeconds));
    int64_t shown = 0;
    std::vector<std::string> datagrams;
    for (;;) {
        // A stop request still shows what has already arrived.
        const bool stopping = stop.load() != 0;
        const bool timedOut = timed && Clock::now() >= deadline;
        datagrams.clear();
        try {
            slot->receive(datagrams);
        } catch (const IPCException& e) {
            note("cannot read the mail slot: " + e.describe());
            return RECEIVER_FAILED;
        }
        for (const std::string& datagram : datagrams) {
            std::string text;
            LogEntry entry;
            switch (describeDatagram(datagram, text, entry)) {
                case DatagramKind::LOG_LINE:
                    if (systemLog) {
                        // A record the system refuses is noted and lost; the
                        // receiver goes on with the next.
                        std::string error;
                        if (!systemLog->write(systemLogRecord(entry), error)) note(error + ": " + printable(text));
                    } else {
                        text += '\n';
                        if (std::fwrite(text.data(), 1, text.size(), stdout) != text.size() ||
                            std::fflush(stdout) != 0) {
                            note("cannot write the output");
                            return RECEIVER_FAILED;
                        }
                    }
                    if (options.count > 0 && ++shown >= options.count) return RECEIVER_OK;
                    break;
                case DatagramKind::OTHER:
                    note("ignored request " + printable(text));
                    break;
                case DatagramKind::UNREADABLE:
                    note("ignored " + text);
                    break;
            }
        }
        if (stopping) return RECEIVER_OK;
        if (timedOut) return options.count > 0 ? RECEIVER_TIMED_OUT : RECEIVER_OK;
        platform::sleepFor(POLL_MILLISECONDS);
    }
}

}  // namespace

int runLogReceiver(const LogReceiverOptions& options) {
    if (options.service) {
        int status = RECEIVER_FAILED;
        std::string error;
        const platform::ServiceRun run = platform::runAsService(
            SERVICE_NAME,
            [&options](std::atomic<int>& stop, const std::function<void()>& ready) {
                return receive(options, stop, ready);
            },
            status, error);
        switch (run) {
            case platform::ServiceRun::Ran:
                return status;
            case platform::ServiceRun::NotFromTheManager:
                note(std::string("--service is for the service manager, which starts the service ") +
                     SERVICE_NAME + "; run the receiver without it (--system-log forwards to the system's log)");
                return RECEIVER_NOT_A_SERVICE;
            case platform::ServiceRun::Failed:
                break;
        }
        note(error);
        return RECEIVER_FAILED;
    }
    g_stop.store(0);
    platform::watchStopRequests(&g_stop);
    return receive(options, g_stop, [] {});
}

}  // namespace Brolix
