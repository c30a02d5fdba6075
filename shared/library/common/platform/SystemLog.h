/// The system's own log, where an administrator looks for what services
/// report: on Linux the journal (or, where no journal runs, syslog through
/// /dev/log), on Windows the Event Log. A record carries a priority, the words
/// a person reads, and named fields to filter on; each system keeps as much of
/// that as it can hold.
///
/// - Journal: one entry with MESSAGE, PRIORITY, SYSLOG_IDENTIFIER (the
///   record's identifier) and every field as it is (libsystemd's
///   sd_journal_sendv, which writes the journal's native protocol to
///   /run/systemd/journal/socket).
/// - Syslog (used when that socket is missing): one line, facility daemon,
///   the record's identifier and process id as the tag, the words followed by
///   the fields as " NAME=value".
/// - Event Log: one event of the source given to the constructor, its type
///   from the priority (error up to 3, warning 4, information above), the
///   record's event id, and as insertion strings the words (%1) and then every
///   field as "NAME=value". The source's message file (registered by the
///   installer) shows %1 for every event id the records use.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace Brolix {
namespace platform {

struct SystemLogRecord {
    /// Priority as syslog numbers it: 0 (emergency) to 7 (debug).
    int priority = 6;
    /// Who the entry is about (journal and syslog); empty: the log's source.
    std::string identifier;
    /// The words a person reads.
    std::string message;
    /// Fields to filter on, in order: names of upper-case letters, digits and
    /// "_" that do not start with "_" or a digit; values of any bytes.
    std::vector<std::pair<std::string, std::string>> fields;
    /// Windows: the event id.
    uint16_t eventId = 0;
};

/// A writer of records to the system log. Not shared between threads.
class SystemLog {
public:
    /// `source` names the writer: the Event Log's event source, the default
    /// identifier on Linux.
    explicit SystemLog(const std::string& source);
    ~SystemLog();
    SystemLog(const SystemLog&) = delete;
    SystemLog& operator=(const SystemLog&) = delete;

    /// Writes one record. False, with the system's reason in `error`, when the
    /// system refused it (syslog reports no refusal).
    bool write(const SystemLogRecord& record, std::string& error);

    /// Which log the last record went to: "journal", "syslog", "Event Log";
    /// empty before the first.
    const std::string& destination() const;

private:
    struct Data;
    std::unique_ptr<Data> m_data;
};

}  // namespace platform
}  // namespace Brolix
