/// LogMessenger receives the wire text of every entry from the LoggerCentre
/// (see LogEntry.h) and writes it to the debug log file as a formatted line.
/// Subclasses may deliver entries further; the centre uses only the two
/// virtual operations, in this order: the destructor and log.
#pragma once

#include <string>

namespace Brolix {

class LogMessenger {
public:
    LogMessenger();
    LogMessenger(const LogMessenger&) = delete;
    LogMessenger& operator=(const LogMessenger&) = delete;

    // --- What the centre relies on (keep these two first and in this order). ---
    virtual ~LogMessenger();
    /// Delivers one entry given as its wire text; true when it was written.
    virtual bool log(const std::string& wireText);

    // --- The file-writing part (log agent, setLogFile) follows below. ---
};

}  // namespace Brolix
