/// LogMessenger receives the wire text of every entry from the LoggerCentre
/// (see LogEntry.h) and writes it to the debug log file as a formatted line.
/// Subclasses may deliver entries further; the centre uses only the two
/// virtual operations, in this order: the destructor and log.
///
/// The messenger owns the file agent that writes the log file (made at
/// construction, pointed at "Brolix_Debug.log" in the working directory until
/// setLogFile names the real file; nothing is created before the first line).
/// Releasing the messenger's last share closes the log file. The messenger
/// locks nothing: the agent serialises the file access.
#pragma once

#include <string>

#include "LoggerAgent.h"
#include "SmartPointer.h"

namespace Brolix {

class LoggerAgentFile;

class LogMessenger {
public:
    LogMessenger();
    LogMessenger(const LogMessenger&) = delete;
    LogMessenger& operator=(const LogMessenger&) = delete;

    // --- What the centre relies on (keep these two first and in this order). ---
    virtual ~LogMessenger();
    /// Delivers one entry given as its wire text; true when it was written.
    /// An unreadable wire text gives false; a negative time in it raises
    /// TimeException. When formatting or writing raises a TimeException, its
    /// full text is written in place of the line.
    virtual bool log(const std::string& wireText);

    /// Points the agent at the debug log file; false when the agent cannot take it.
    bool setLogFile(const std::string& path);

private:
    LoggerAgentFile* fileAgent() const;

    SmartPointer<LoggerAgent> m_agent;
};

}  // namespace Brolix
