/// The log receiver owns the mail slot of the central logging service (normally
/// "Brolix_Core"), drains it, and shows each "LOGMSG" request it receives as the
/// readable log line the library writes to its own log files: severity, time,
/// identity (application, module, message number), thread and parameters. It
/// lets a user watch the numbered messages of the family's programs on a machine
/// that has no central logging service.
#pragma once

#include <cstdint>
#include <string>

namespace Brolix {

struct LogReceiverOptions {
    std::string slot = "Brolix_Core";
    /// End after this many log lines; 0 means no limit.
    int64_t count = 0;
    /// End after this many seconds; 0 means no limit.
    double timeoutSeconds = 0;
    bool help = false;
};

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

/// Exit statuses of the program.
enum LogReceiverStatus {
    RECEIVER_OK = 0,         ///< stopped by a signal, by --count, or by --timeout alone
    RECEIVER_TIMED_OUT = 1,  ///< --timeout ended it before --count lines arrived
    RECEIVER_USAGE = 2,
    RECEIVER_FAILED = 3,  ///< the slot cannot be owned or read, or output cannot be written
};

/// Receives until a signal, the count or the timeout ends it; returns the status.
/// Log lines go to standard output, one flushed line each; notes to standard error.
int runLogReceiver(const LogReceiverOptions& options);

}  // namespace Brolix
