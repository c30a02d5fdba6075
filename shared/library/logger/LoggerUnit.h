/// LoggerUnit is the object through which a program module writes to the log.
/// It offers debug texts (levels 1, coarsest, to 5, finest), filtered against
/// the process-wide debug level, and numbered messages (NOTICE, WARNING, ERROR,
/// FATAL) with optional parameters, filtered against the process-wide message
/// threshold. A call that passes its filter becomes a LogEntry stamped with the
/// unit's module, the current time and the calling thread, and goes to the
/// unit's LoggerCentre.
///
/// Every call answers true when the entry was delivered or filtered out, false
/// when it was not delivered. Debug calls let exceptions from the chain below
/// through to the caller; message calls and the unit's own lines at
/// construction and destruction swallow them.
///
/// The unit refers to its centre without a share: whoever makes the unit keeps
/// the centre alive (through its own SmartPointer) until the unit is gone.
///
/// The process-wide settings below are set once at start-up, before other
/// threads log; they are read without locks.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ParamStream.h"
#include "SmartPointer.h"

namespace Brolix {

class LoggerCentre;

/// Severities of numbered messages. CRITICAL has a name but no call of its own.
enum Severity : int32_t {
    SEVERITY_NOTICE = 0,
    SEVERITY_WARNING = 1,
    SEVERITY_ERROR = 2,
    SEVERITY_CRITICAL = 3,
    SEVERITY_FATAL = 4,
};

/// The program's own module number.
constexpr int32_t ARDWEN_MODULE = 10;

class LoggerUnit {
public:
    /// Refers to `centre` (its holder is released on return) and writes the
    /// unit's "Created logger" line at debug level 1.
    LoggerUnit(SmartPointer<LoggerCentre> centre, int32_t module);
    LoggerUnit(const LoggerUnit&) = delete;
    LoggerUnit& operator=(const LoggerUnit&) = delete;
    /// Writes the unit's "Destroyed logger" line at debug level 1 and lets go of the centre.
    virtual ~LoggerUnit();

    /// A debug text at `level`; written when `level` is at most the debug level.
    /// A null text counts as the empty text.
    bool debug(int32_t level, const char* text);
    bool debug(int32_t level, const std::string& text);
    /// A debug text made from `format` and `params` (see expandFormat); the
    /// format is only expanded when the level passes the filter.
    bool debug(int32_t level, const char* format, ParamStream params);

    /// Numbered messages; each is written when its severity is at least the
    /// message threshold. The parameters travel as their raw text.
    bool notice(int32_t number);
    bool warning(int32_t number, ParamStream params);
    bool error(int32_t number, ParamStream params);
    bool fatal(int32_t number);
    bool fatal(int32_t number, ParamStream params);

    int32_t module() const { return m_module; }

private:
    bool logDebug(int32_t level, std::string_view text);
    bool logMessage(int32_t severity, int32_t number, std::string_view params);
    void logOwnLine(const char* format) noexcept;

    int32_t m_module;
    LoggerCentre* m_centre;
};

/// Stores the process-wide debug level when it is between 0 and 5; other values
/// are ignored. The initial level is 5.
void setDebugLevel(int32_t level);
int32_t debugLevel();

/// Stores the process-wide message threshold when it is between 0 and 5; other
/// values are ignored. The initial threshold is 0 (every message is written).
void setMessageThreshold(int32_t threshold);
int32_t messageThreshold();

/// Turns the log agent's own notes off for the rest of the process.
void disableAgentNotes();
bool agentNotesEnabled();

/// The name of a module number, "<<Unknown>>" for numbers without a name.
std::string moduleName(int32_t module);
/// "NOTICE", "WARNING", "ERROR", "CRITICAL", "FATAL" for 0 to 4; empty otherwise.
std::string severityName(int32_t severity);

}  // namespace Brolix
