/// The log receiver owns the mail slot of the central logging service (normally
/// "Brolix_Core"), drains it, and shows each "LOGMSG" request it receives as the
/// readable log line the library writes to its own log files: severity, time,
/// identity (application, module, message number), thread and parameters. It
/// lets a user watch the numbered messages of the family's programs on a machine
/// that has no central logging service. Instead of printing, it can forward
/// every entry to the system's log (the journal or syslog, the Event Log), and
/// run as a service of the system's service manager.
#pragma once

#include <cstdint>
#include <string>

#include "LogEntry.h"
#include "platform/SystemLog.h"

namespace Brolix {

struct LogReceiverOptions {
    std::string slot = "Brolix_Core";
    /// End after this many log lines; 0 means no limit.
    int64_t count = 0;
    /// End after this many seconds; 0 means no limit.
    double timeoutSeconds = 0;
    /// Forward the entries to the system's log instead of standard output.
    bool systemLog = false;
    /// Run as the service SERVICE_NAME (forwarding to the system's log).
    bool service = false;
    bool help = false;
    bool version = false;
};

/// The receiver's name with the service manager, and its event source in the
/// Windows Event Log.
constexpr const char* SERVICE_NAME = "BrolixLogReceiver";
constexpr const char* EVENT_SOURCE = "Brolix";

/// Reads the command line (arguments after the program name). False, with a
/// one-line reason in `error`, for an unknown option or a bad value.
bool parseLogReceiverArguments(int argc, const char* const* argv, LogReceiverOptions& options,
                               std::string& error);

/// The usage text.
std::string logReceiverUsage();

/// What one received datagram is.
enum class DatagramKind {
    LOG_LINE,    ///< a "LOGMSG" request; `text` is its log line
    OTHER,       ///< a well-formed request of another name; `text` is its name
    UNREADABLE,  ///< not a request, or a "LOGMSG" whose entry cannot be read; `text` says why
};

/// Turns one datagram (without its zero byte) into what the receiver shows. A
/// message of the configuration builder gets its words and its named
/// parameters after the log line: " -- cannot write the configuration file
/// (output file: /x/a.conf; error code: 60.5)".
DatagramKind describeDatagram(const std::string& datagram, std::string& text);
/// The same, also handing out the entry of a LOG_LINE.
DatagramKind describeDatagram(const std::string& datagram, std::string& text, LogEntry& entry);

/// What the system's log gets for one log entry: the priority from the
/// severity (FATAL and CRITICAL 2, ERROR 3, WARNING 4, NOTICE 5, debug 7), the
/// identifier "ardwen" for the builder's entries and "brolix" for others, the
/// words "(9.10.09) cannot write the configuration file (output file: ...)"
/// (the identity, then the builder's words, or what the log line shows after
/// the thread), and the fields BROLIX_SEVERITY, BROLIX_APPLICATION,
/// BROLIX_MODULE, BROLIX_MESSAGE_NUMBER (messages) or BROLIX_DEBUG_LEVEL
/// (debug entries), BROLIX_THREAD (the sending thread), BROLIX_TIME (when the
/// entry was made, UTC) and BROLIX_PARAMETER_1, _2, ... (a message's
/// parameters). The event id is the message number where it is below 1000,
/// else 0.
platform::SystemLogRecord systemLogRecord(const LogEntry& entry);

/// Exit statuses of the program.
enum LogReceiverStatus {
    RECEIVER_OK = 0,         ///< stopped by a signal, by --count, or by --timeout alone
    RECEIVER_TIMED_OUT = 1,  ///< --timeout ended it before --count lines arrived
    RECEIVER_USAGE = 2,
    RECEIVER_FAILED = 3,  ///< the slot cannot be owned or read, or output cannot be written
    RECEIVER_NOT_A_SERVICE = 4,  ///< --service, but the service manager did not start the program
};

/// Receives until a signal (or the service manager), the count or the timeout
/// ends it; returns the status. Log lines go to standard output, one flushed
/// line each, or as records to the system's log; notes to standard error.
int runLogReceiver(const LogReceiverOptions& options);

}  // namespace Brolix
